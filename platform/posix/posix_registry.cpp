// The registry of the Linux back end: one tree of keys per root, names compared without
// regard to ASCII case, subkeys and values kept in creation order, key handles in the machine's
// handle table, and HKEY_PERFORMANCE_DATA answered from the machine's performance blocks (none but
// the tests').
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "platform/posix/posix_internal.h"
#include "platform/wow64.h"

#ifndef REG_CREATED_NEW_KEY
#define REG_CREATED_NEW_KEY 1L
#define REG_OPENED_EXISTING_KEY 2L
#endif
#ifndef ERROR_NOACCESS
#define ERROR_NOACCESS 998L
#endif
#ifndef ERROR_BAD_PATHNAME
#define ERROR_BAD_PATHNAME 161L
#endif

namespace posix {

using Node = Registry::Node;

namespace {

inline unsigned char AsciiLower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && AsciiLower(static_cast<unsigned char>(a[i])) !=
                            AsciiLower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// The child's place in its parent's list, or null.
const std::shared_ptr<Node>* ChildSlot(const Node* node, std::string_view name) {
  for (const auto& child : node->children) {
    if (SameName(child->name, name)) return &child;
  }
  return nullptr;
}

// The child's place, made (as the last child) when create is set; null when there is none.
const std::shared_ptr<Node>* StepDown(Node* node, std::string_view name, bool create) {
  if (const std::shared_ptr<Node>* slot = ChildSlot(node, name)) return slot;
  if (!create) return nullptr;
  auto made = std::make_shared<Node>();
  made->name = std::string(name);
  made->parent = node;
  node->children.push_back(std::move(made));
  return &node->children.back();
}

// The key below start at a subkey path as the program sees it through the given access: its
// components parted by backslashes, with Wow6432Node after a first "Software" in the 32-bit view
// (SeesWow6432Node). Made on the way when create is set. The key's place in its parent's list,
// or null when there is none; *components tells how many the path has (none: start itself).
// Walked in place: the registry is opened this way on every call.
const std::shared_ptr<Node>* DescendViewed(Node* start, HKEY root, std::string_view path,
                                           REGSAM access, bool create, size_t* components) {
  const bool view32 = SeesWow6432Node(root, access);
  const std::shared_ptr<Node>* slot = nullptr;
  Node* node = start;
  bool underSoftware = false;
  *components = 0;
  for (size_t begin = 0; begin < path.size();) {
    size_t end = path.find('\\', begin);
    if (end == std::string_view::npos) end = path.size();
    if (end > begin) {
      const std::string_view part = path.substr(begin, end - begin);
      if (*components == 1 && underSoftware && !SameName(part, "Wow6432Node")) {
        slot = StepDown(node, "Wow6432Node", create);
        if (slot == nullptr) return nullptr;
        node = slot->get();
      }
      if (*components == 0) underSoftware = view32 && SameName(part, "Software");
      ++*components;
      slot = StepDown(node, part, create);
      if (slot == nullptr) return nullptr;
      node = slot->get();
    }
    begin = end + 1;
  }
  return slot;
}

// The key at a path of components parted by backslashes, below start; start itself for a path
// without components. Made on the way when create is set. Splits nothing into new strings: the
// registry is read this way on every call.
Node* DescendPath(Node* start, std::string_view path, bool create) {
  Node* node = start;
  size_t begin = 0;
  while (node != nullptr && begin < path.size()) {
    size_t end = path.find('\\', begin);
    if (end == std::string_view::npos) end = path.size();
    if (end > begin) {
      const std::shared_ptr<Node>* slot = StepDown(node, path.substr(begin, end - begin), create);
      node = slot != nullptr ? slot->get() : nullptr;
    }
    begin = end + 1;
  }
  return node;
}

// Handles that still hold keys of a removed subtree must see them as deleted; the parent links
// are cut because the parents may be freed before those handles are closed.
void MarkDeleted(Node* node) {
  node->deleted = true;
  node->parent = nullptr;
  for (const auto& child : node->children) MarkDeleted(child.get());
  node->children.clear();
}

void Unlink(Node* node) {
  Node* parent = node->parent;
  auto& siblings = parent->children;
  siblings.erase(
      std::remove_if(siblings.begin(), siblings.end(),
                     [node](const std::shared_ptr<Node>& child) { return child.get() == node; }),
      siblings.end());
  MarkDeleted(node);
}

// The keys every Windows installation has, in the order they are made: each below the entry at
// parent (an index into this table), or below the root for -1.
struct StandardKey {
  HKEY root;
  int parent;
  const char* name;
};
const StandardKey kStandardKeys[] = {
    {HKEY_LOCAL_MACHINE, -1, "Software"},       // 0
    {HKEY_LOCAL_MACHINE, 0, "Microsoft"},       // 1
    {HKEY_LOCAL_MACHINE, 1, "Windows"},         // 2
    {HKEY_LOCAL_MACHINE, 2, "CurrentVersion"},  // 3
    {HKEY_LOCAL_MACHINE, 3, "Run"},
    {HKEY_LOCAL_MACHINE, 3, "RunServices"},
    {HKEY_CURRENT_USER, -1, "Software"},       // 6
    {HKEY_CURRENT_USER, 6, "Microsoft"},       // 7
    {HKEY_CURRENT_USER, 7, "Windows"},         // 8
    {HKEY_CURRENT_USER, 8, "CurrentVersion"},  // 9
    {HKEY_CURRENT_USER, 9, "Run"},
    {HKEY_LOCAL_MACHINE, -1, "SYSTEM"},             // 11
    {HKEY_LOCAL_MACHINE, 11, "CurrentControlSet"},  // 12
    {HKEY_LOCAL_MACHINE, 12, "Services"},
    {HKEY_LOCAL_MACHINE, 12, "Control"},  // 14
    {HKEY_LOCAL_MACHINE, 14, "Session Manager"},
};
constexpr int kStandardKeyCount = static_cast<int>(sizeof kStandardKeys / sizeof kStandardKeys[0]);

// Exactly the same spelling; compared here, not by memcmp, which the fuzzer's hooks make costly.
bool SameSpelling(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size(); ++i) {
    if (b[i] == '\0' || a[i] != b[i]) return false;
  }
  return b[i] == '\0';
}

bool RestoreStandardKey(Node* node, HKEY root, int index);

// Takes the key's subkeys back when they are exactly its standard ones, in the table's order;
// false (with some of them perhaps taken back already) when they are not.
bool RestoreStandardChildren(Node* node, HKEY root, int index) {
  auto& children = node->children;
  size_t next = 0;
  for (int i = 0; i < kStandardKeyCount; ++i) {
    if (kStandardKeys[i].root != root || kStandardKeys[i].parent != index) continue;
    if (next >= children.size() || !SameSpelling(children[next]->name, kStandardKeys[i].name) ||
        !RestoreStandardKey(children[next].get(), root, i)) {
      return false;
    }
    ++next;
  }
  if (children.empty()) ReleaseMemory(&children);
  return next == children.size();
}

// Takes the key back to what MakeStandardKeys made (at the table's entry index; -1 for a root):
// no values, no denied rights, only its standard subkeys, each taken back in turn. False when
// one of those is missing, spelled otherwise or out of its place: the tree is then made anew.
bool RestoreStandardKey(Node* node, HKEY root, int index) {
  ReleaseMemory(&node->values);
  node->deniedRights = 0;
  // Commonly the key still has exactly its standard subkeys: one pass over the table says so.
  if (RestoreStandardChildren(node, root, index)) return true;
  auto& children = node->children;
  children.erase(std::remove_if(children.begin(), children.end(),
                                [root, index](const std::shared_ptr<Node>& child) {
                                  for (const StandardKey& key : kStandardKeys) {
                                    if (key.root == root && key.parent == index &&
                                        SameSpelling(child->name, key.name)) {
                                      return false;
                                    }
                                  }
                                  MarkDeleted(child.get());
                                  return true;
                                }),
                 children.end());
  return RestoreStandardChildren(node, root, index);
}

}  // namespace

Node* Node::Child(const std::string& childName) const {
  const std::shared_ptr<Node>* slot = ChildSlot(this, childName);
  return slot != nullptr ? slot->get() : nullptr;
}

void Node::SetValue(const std::string& valueName, DWORD type, const std::vector<uint8_t>& data) {
  if (Value* value = FindValue(valueName)) {
    value->type = type;
    value->data = data;
  } else {
    values.push_back(Value{valueName, type, data});
  }
}

Node::Value* Node::FindValue(std::string_view valueName) {
  for (Value& value : values) {
    if (SameName(value.name, valueName)) return &value;
  }
  return nullptr;
}

// The roots and the keys every installation has are made at the first look at the registry:
// a machine that never reads it (most of the fuzz targets' machines, one for every input) never
// pays for them.
Registry::Registry() = default;

Registry::~Registry() = default;

void Registry::MakeStandardKeys() const {
  const std::pair<HKEY, const char*> roots[] = {
      {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},
      {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
      {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},
      {HKEY_USERS, "HKEY_USERS"},
  };
  for (const auto& root : roots) {
    auto node = std::make_shared<Node>();
    node->name = root.second;
    roots_[reinterpret_cast<ULONG_PTR>(root.first)] = node;
  }
  std::vector<Node*> made(kStandardKeyCount);
  for (int i = 0; i < kStandardKeyCount; ++i) {
    const StandardKey& key = kStandardKeys[i];
    Node* parent =
        key.parent < 0 ? roots_[reinterpret_cast<ULONG_PTR>(key.root)].get() : made[key.parent];
    made[i] = StepDown(parent, key.name, true)->get();
  }
}

void Registry::Restore() {
  if (roots_.empty()) return;  // never looked at: nothing made yet
  for (const auto& [handle, node] : roots_) {
    if (!RestoreStandardKey(node.get(), reinterpret_cast<HKEY>(handle), -1)) {
      for (const auto& [unused, root] : roots_) MarkDeleted(root.get());
      roots_.clear();
      return;  // made again at the next look
    }
  }
}

Node* Registry::Root(HKEY root) const {
  if (roots_.empty()) MakeStandardKeys();
  auto it = roots_.find(reinterpret_cast<ULONG_PTR>(root));
  return it == roots_.end() ? nullptr : it->second.get();
}

Node* Registry::Find(HKEY root, const std::string& path) const {
  Node* node = Root(root);
  if (node == nullptr) return nullptr;
  return DescendPath(node, path, false);
}

Node* Registry::Create(HKEY root, const std::string& path) {
  Node* node = Root(root);
  if (node == nullptr) return nullptr;
  return DescendPath(node, path, true);
}

void Registry::CreateKey(HKEY root, const std::string& path) { Create(root, path); }

bool Registry::KeyExists(HKEY root, const std::string& path) const {
  return Find(root, path) != nullptr;
}

void Registry::SetValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
                        const std::vector<uint8_t>& data) {
  if (Node* node = Create(root, path)) node->SetValue(name, type, data);
}

void Registry::SetString(HKEY root, const std::string& path, const std::string& name,
                         const std::string& text, DWORD type) {
  std::vector<uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  SetValue(root, path, name, type, data);
}

void Registry::SetMultiString(HKEY root, const std::string& path, const std::string& name,
                              const std::vector<std::string>& strings) {
  std::vector<uint8_t> data;
  for (const std::string& text : strings) {
    data.insert(data.end(), text.begin(), text.end());
    data.push_back(0);
  }
  data.push_back(0);
  SetValue(root, path, name, REG_MULTI_SZ, data);
}

std::optional<std::vector<uint8_t>> Registry::GetValue(HKEY root, const std::string& path,
                                                       const std::string& name) const {
  Node* node = Find(root, path);
  if (node == nullptr) return std::nullopt;
  const Node::Value* value = node->FindValue(name);
  if (value == nullptr) return std::nullopt;
  return value->data;
}

std::optional<std::string> Registry::GetString(HKEY root, const std::string& path,
                                               const std::string& name) const {
  auto data = GetValue(root, path, name);
  if (!data) return std::nullopt;
  const auto end = std::find(data->begin(), data->end(), uint8_t{0});
  return std::string(data->begin(), end);
}

std::vector<std::string> Registry::ValueNames(HKEY root, const std::string& path) const {
  std::vector<std::string> names;
  if (const Node* node = Find(root, path)) {
    for (const auto& value : node->values) names.push_back(value.name);
  }
  return names;
}

std::vector<std::string> Registry::SubkeyNames(HKEY root, const std::string& path) const {
  std::vector<std::string> names;
  if (const Node* node = Find(root, path)) {
    for (const auto& child : node->children) names.push_back(child->name);
  }
  return names;
}

void Registry::DenyAccess(HKEY root, const std::string& path, REGSAM rights) {
  if (Node* node = Create(root, path)) node->deniedRights |= rights;
}

}  // namespace posix

namespace plat {

namespace {

using posix::HandleEntry;
using posix::Node;

// The key a call acts on, with the rights its handle grants.
struct KeyRef {
  LONG error = ERROR_SUCCESS;
  Node* node = nullptr;
  std::shared_ptr<Node> owner;  // null for a root
  DWORD access = 0;
  bool root = false;
};

KeyRef Lookup(HKEY key) {
  KeyRef ref;
  posix::Machine& m = posix::machine();
  if (Node* root = m.registry.Root(key)) {
    ref.node = root;
    ref.access = ~DWORD{0};
    ref.root = true;
    return ref;
  }
  HandleEntry* entry = m.impl().Get(reinterpret_cast<HANDLE>(key), HandleEntry::Kind::Key);
  if (entry == nullptr || !entry->key) {
    ref.error = ERROR_INVALID_HANDLE;
    return ref;
  }
  if (entry->key->deleted) {
    ref.error = ERROR_KEY_DELETED;
    return ref;
  }
  ref.node = entry->key.get();
  ref.owner = entry->key;
  ref.access = entry->access;
  return ref;
}

// As Lookup, refused unless the handle grants one of these rights.
KeyRef LookupFor(HKEY key, DWORD rights) {
  KeyRef ref = Lookup(key);
  if (ref.error == ERROR_SUCCESS && (ref.access & rights) == 0) ref.error = ERROR_ACCESS_DENIED;
  return ref;
}

// The key rights that generic rights and MAXIMUM_ALLOWED stand for.
REGSAM KeyRights(REGSAM access, const Node& node) {
  REGSAM rights = access & 0x00ffffffu;                // standard and specific rights
  if (access & 0x80000000u) rights |= KEY_READ;        // GENERIC_READ
  if (access & 0x40000000u) rights |= KEY_WRITE;       // GENERIC_WRITE
  if (access & 0x10000000u) rights |= KEY_ALL_ACCESS;  // GENERIC_ALL
  if (access & 0x02000000u) rights = (rights | KEY_ALL_ACCESS) & ~node.deniedRights;
  return rights;
}

HKEY NewHandle(std::shared_ptr<Node> node, REGSAM access) {
  HandleEntry entry;
  entry.kind = HandleEntry::Kind::Key;
  entry.access = KeyRights(access, *node);
  entry.key = std::move(node);
  return reinterpret_cast<HKEY>(posix::machine().impl().Add(std::move(entry)));
}

std::string_view ValueName(LPCSTR name) { return name != nullptr ? name : ""; }

// Subkey paths are relative: Windows refuses one that begins with a backslash.
bool BadSubKey(LPCSTR subKey) { return subKey != nullptr && subKey[0] == '\\'; }

// Copies a name with its terminator when it fits in capacity characters.
bool PutName(const std::string& text, LPSTR buffer, LPDWORD capacity) {
  if (text.size() + 1 > *capacity) return false;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  *capacity = static_cast<DWORD>(text.size());
  return true;
}

// Answers HKEY_PERFORMANCE_DATA. Windows leaves the size alone when the block does not fit, so
// callers grow their buffer until it does.
LONG QueryPerformanceData(LPCSTR name, LPDWORD type, LPBYTE data, LPDWORD dataLength) {
  const std::vector<uint8_t>* found =
      posix::machine().PerformanceBlock(std::string(ValueName(name)));
  if (found == nullptr) return ERROR_FILE_NOT_FOUND;
  if (dataLength == nullptr) return ERROR_INVALID_PARAMETER;
  const std::vector<uint8_t>& block = *found;
  if (type) *type = REG_BINARY;
  if (data == nullptr || *dataLength < block.size()) return ERROR_MORE_DATA;
  if (!block.empty()) std::memcpy(data, block.data(), block.size());
  *dataLength = static_cast<DWORD>(block.size());
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  const KeyRef base = Lookup(root);
  if (base.error != ERROR_SUCCESS) return base.error;
  if (BadSubKey(subKey)) return ERROR_BAD_PATHNAME;
  size_t components = 0;
  const std::shared_ptr<Node>* slot = posix::DescendViewed(
      base.node, root, ValueName(subKey), access | plat::CurrentRegistryView(), false, &components);
  std::shared_ptr<Node> target;
  if (components == 0) {
    if (base.root) {  // a predefined key opens as itself
      *result = root;
      return ERROR_SUCCESS;
    }
    target = base.owner;
  } else if (slot != nullptr) {
    target = *slot;
  }
  if (!target) return ERROR_FILE_NOT_FOUND;
  if (target->deniedRights & KeyRights(access, *target)) return ERROR_ACCESS_DENIED;
  *result = NewHandle(std::move(target), access);
  return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM access,
                     LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  const KeyRef base = Lookup(root);
  if (base.error != ERROR_SUCCESS) return base.error;
  if (BadSubKey(subKey)) return ERROR_BAD_PATHNAME;
  const std::string_view path = ValueName(subKey);
  const REGSAM view = access | plat::CurrentRegistryView();
  size_t components = 0;
  const std::shared_ptr<Node>* existing =
      posix::DescendViewed(base.node, root, path, view, false, &components);
  if (components == 0) {
    if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
    *result = base.root ? root : NewHandle(base.owner, access);
    return ERROR_SUCCESS;
  }
  // An existing key is opened, and must grant the rights asked for.
  if (existing != nullptr) {
    if ((*existing)->deniedRights & KeyRights(access, **existing)) return ERROR_ACCESS_DENIED;
    if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
    *result = NewHandle(*existing, access);
    return ERROR_SUCCESS;
  }
  const std::shared_ptr<Node>* made =
      posix::DescendViewed(base.node, root, path, view, true, &components);
  if (disposition) *disposition = REG_CREATED_NEW_KEY;
  *result = NewHandle(*made, access);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  posix::Machine& m = posix::machine();
  if (key == HKEY_PERFORMANCE_DATA || m.registry.Root(key) != nullptr) return ERROR_SUCCESS;
  if (m.impl().Get(reinterpret_cast<HANDLE>(key), HandleEntry::Kind::Key) == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  m.impl().Close(reinterpret_cast<HANDLE>(key));
  return ERROR_SUCCESS;
}

LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classLength, LPDWORD, LPDWORD subKeys,
                      LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                      LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                      LPDWORD securityDescriptorLength, FILETIME* lastWriteTime) {
  const KeyRef ref = LookupFor(key, KEY_QUERY_VALUE);
  if (ref.error != ERROR_SUCCESS) return ref.error;
  const Node* node = ref.node;
  if (keyClass != nullptr && classLength != nullptr && *classLength > 0) keyClass[0] = '\0';
  if (classLength) *classLength = 0;
  if (maxClassLength) *maxClassLength = 0;
  if (subKeys) *subKeys = static_cast<DWORD>(node->children.size());
  if (maxSubKeyLength) {
    size_t longest = 0;
    for (const auto& child : node->children) longest = std::max(longest, child->name.size());
    *maxSubKeyLength = static_cast<DWORD>(longest);
  }
  if (values) *values = static_cast<DWORD>(node->values.size());
  size_t longestName = 0;
  size_t longestData = 0;
  for (const auto& value : node->values) {
    longestName = std::max(longestName, value.name.size());
    longestData = std::max(longestData, value.data.size());
  }
  if (maxValueNameLength) *maxValueNameLength = static_cast<DWORD>(longestName);
  if (maxValueLength) *maxValueLength = static_cast<DWORD>(longestData);
  if (securityDescriptorLength) *securityDescriptorLength = 0;
  if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD, LPDWORD type,
                   LPBYTE data, LPDWORD dataLength) {
  const KeyRef ref = LookupFor(key, KEY_QUERY_VALUE);
  if (ref.error != ERROR_SUCCESS) return ref.error;
  if (name == nullptr || nameLength == nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && dataLength == nullptr) return ERROR_INVALID_PARAMETER;
  if (index >= ref.node->values.size()) return ERROR_NO_MORE_ITEMS;
  const Node::Value& value = ref.node->values[index];
  const DWORD size = static_cast<DWORD>(value.data.size());
  if (data != nullptr && *dataLength < size) {  // the name is not given either
    *dataLength = size;
    return ERROR_MORE_DATA;
  }
  if (!PutName(value.name, name, nameLength)) return ERROR_MORE_DATA;
  if (type) *type = value.type;
  if (data != nullptr && size > 0) std::memcpy(data, value.data.data(), size);
  if (dataLength) *dataLength = size;
  return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD, LPSTR keyClass,
                   LPDWORD classLength, FILETIME* lastWriteTime) {
  const KeyRef ref = LookupFor(key, KEY_ENUMERATE_SUB_KEYS);
  if (ref.error != ERROR_SUCCESS) return ref.error;
  if (name == nullptr || nameLength == nullptr) return ERROR_INVALID_PARAMETER;
  if (index >= ref.node->children.size()) return ERROR_NO_MORE_ITEMS;
  if (!PutName(ref.node->children[index]->name, name, nameLength)) return ERROR_MORE_DATA;
  if (keyClass != nullptr && classLength != nullptr && *classLength > 0) keyClass[0] = '\0';
  if (classLength) *classLength = 0;
  if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                      LPDWORD dataLength) {
  if (key == HKEY_PERFORMANCE_DATA) return QueryPerformanceData(name, type, data, dataLength);
  const KeyRef ref = LookupFor(key, KEY_QUERY_VALUE);
  if (ref.error != ERROR_SUCCESS) return ref.error;
  if (data != nullptr && dataLength == nullptr) return ERROR_INVALID_PARAMETER;
  const Node::Value* value = ref.node->FindValue(ValueName(name));
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  if (type) *type = value->type;
  if (dataLength == nullptr) return ERROR_SUCCESS;
  const DWORD size = static_cast<DWORD>(value->data.size());
  if (data != nullptr) {
    if (*dataLength < size) {
      *dataLength = size;
      return ERROR_MORE_DATA;
    }
    if (size > 0) std::memcpy(data, value->data.data(), size);
  }
  *dataLength = size;
  return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD dataLength) {
  const KeyRef ref = LookupFor(key, KEY_SET_VALUE);
  if (ref.error != ERROR_SUCCESS) return ref.error;
  if (data == nullptr && dataLength > 0) return ERROR_NOACCESS;
  std::vector<uint8_t> bytes;
  if (dataLength > 0) bytes.assign(data, data + dataLength);
  // An existing value keeps its place and its spelling.
  if (Node::Value* value = ref.node->FindValue(ValueName(name))) {
    value->type = type;
    value->data = std::move(bytes);
  } else {
    ref.node->values.push_back(Node::Value{std::string(ValueName(name)), type, std::move(bytes)});
  }
  return ERROR_SUCCESS;
}

LONG RegDeleteValueA(HKEY key, LPCSTR name) {
  const KeyRef ref = LookupFor(key, KEY_SET_VALUE);
  if (ref.error != ERROR_SUCCESS) return ref.error;
  auto& values = ref.node->values;
  const std::string_view wanted = ValueName(name);
  auto it = std::find_if(values.begin(), values.end(), [wanted](const Node::Value& value) {
    return posix::SameName(value.name, wanted);
  });
  if (it == values.end()) return ERROR_FILE_NOT_FOUND;
  values.erase(it);
  return ERROR_SUCCESS;
}

LONG RegDeleteKeyA(HKEY root, LPCSTR subKey) {
  const KeyRef base = Lookup(root);
  if (base.error != ERROR_SUCCESS) return base.error;
  if (BadSubKey(subKey)) return ERROR_BAD_PATHNAME;
  size_t components = 0;
  const std::shared_ptr<Node>* slot = posix::DescendViewed(
      base.node, root, ValueName(subKey), plat::CurrentRegistryView(), false, &components);
  // Neither a root nor the handle's own key goes through an empty name.
  if (components == 0) return ERROR_ACCESS_DENIED;
  if (slot == nullptr) return ERROR_FILE_NOT_FOUND;
  // Held while its subtree is cut from the tree.
  const std::shared_ptr<Node> target = *slot;
  if (target->deniedRights & DELETE) return ERROR_ACCESS_DENIED;
  // The NT family deletes leaves only; the 9x family takes the whole tree.
  if (!target->children.empty() && !posix::machine().Is9x()) return ERROR_ACCESS_DENIED;
  posix::Unlink(target.get());
  return ERROR_SUCCESS;
}

}  // namespace plat
