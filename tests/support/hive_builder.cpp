#include "tests/support/hive_builder.h"

#include <hivex.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace hive {

namespace {

constexpr size_t kBaseBlockSize = 0x1000;
constexpr size_t kBinSize = 0x1000;
constexpr size_t kChecksumAt = 0x1fc;
constexpr uint64_t kTimestamp = 0x01c7a1e2f0000000ull;  // a FILETIME in 2007
// Cells, by offset from the first bin: the root key, its security record, then free space.
constexpr uint32_t kRootCell = 0x20;
constexpr uint32_t kRootCellSize = 88;  // size field, 0x4c bytes of nk record, "ROOT", rounded to 8
constexpr uint32_t kSecurityCell = kRootCell + kRootCellSize;
constexpr uint32_t kSecurityCellSize =
    48;  // size field, 0x14 bytes of sk record, 20-byte descriptor
constexpr uint32_t kFreeCell = kSecurityCell + kSecurityCellSize;

void Put16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
  for (size_t i = 0; i < 2; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void Put64(std::vector<uint8_t>& bytes, size_t at, uint64_t value) {
  for (size_t i = 0; i < 8; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Get32(const std::vector<uint8_t>& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
  return value;
}

void PutText(std::vector<uint8_t>& bytes, size_t at, const char* text) {
  std::memcpy(&bytes[at], text, std::strlen(text));
}

// The base block's checksum: the XOR of its first 127 double words, never 0 or all ones.
void Checksum(std::vector<uint8_t>& bytes) {
  uint32_t sum = 0;
  for (size_t at = 0; at < kChecksumAt; at += 4) sum ^= Get32(bytes, at);
  if (sum == 0) sum = 1;
  if (sum == 0xffffffffu) sum = 0xfffffffeu;
  Put32(bytes, kChecksumAt, sum);
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t RawType(const hive_type& type) {
  uint32_t raw;
  std::memcpy(&raw, &type, sizeof raw);
  return raw;
}

// The key at keyPath in a hive opened for reading; 0 when missing.
hive_node_h Find(hive_h* handle, const std::string& keyPath) {
  hive_node_h node = hivex_root(handle);
  size_t start = 0;
  while (node != 0 && start < keyPath.size()) {
    size_t end = keyPath.find('\\', start);
    if (end == std::string::npos) end = keyPath.size();
    node = hivex_node_get_child(handle, node, keyPath.substr(start, end - start).c_str());
    start = end + 1;
  }
  return node;
}

}  // namespace

bool WriteEmptyHive(const std::string& path) {
  std::vector<uint8_t> bytes(kBaseBlockSize + kBinSize, 0);

  // Base block.
  PutText(bytes, 0x00, "regf");
  Put32(bytes, 0x04, 1);  // the two sequence numbers agree: the last save finished
  Put32(bytes, 0x08, 1);
  Put64(bytes, 0x0c, kTimestamp);
  Put32(bytes, 0x14, 1);  // format 1.3
  Put32(bytes, 0x18, 3);
  Put32(bytes, 0x1c, 0);  // a primary file
  Put32(bytes, 0x20, 1);  // laid out as in memory
  Put32(bytes, 0x24, kRootCell);
  Put32(bytes, 0x28, kBinSize);  // size of all bins
  Put32(bytes, 0x2c, 1);         // clustering factor
  const char* name = "\\hive";
  for (size_t i = 0; name[i] != '\0'; ++i) bytes[0x30 + 2 * i] = static_cast<uint8_t>(name[i]);
  Checksum(bytes);

  // The bin.
  const size_t bin = kBaseBlockSize;
  PutText(bytes, bin + 0x00, "hbin");
  Put32(bytes, bin + 0x04, 0);  // its offset from the first bin
  Put32(bytes, bin + 0x08, kBinSize);
  Put64(bytes, bin + 0x14, kTimestamp);

  // The root key: no subkeys, no values, no class, its security record.
  const size_t root = bin + kRootCell;
  Put32(bytes, root,
        static_cast<uint32_t>(-static_cast<int32_t>(kRootCellSize)));  // negative: in use
  const size_t nk = root + 4;
  PutText(bytes, nk + 0x00, "nk");
  Put16(bytes, nk + 0x02, 0x2c);  // hive entry, cannot be deleted, name in Latin-1
  Put64(bytes, nk + 0x04, kTimestamp);
  Put32(bytes, nk + 0x10, 0);            // parent: none
  Put32(bytes, nk + 0x1c, 0xffffffffu);  // subkey list
  Put32(bytes, nk + 0x20, 0xffffffffu);  // volatile subkey list
  Put32(bytes, nk + 0x28, 0xffffffffu);  // value list
  Put32(bytes, nk + 0x2c, kSecurityCell);
  Put32(bytes, nk + 0x30, 0xffffffffu);  // class name
  Put16(bytes, nk + 0x48, 4);
  PutText(bytes, nk + 0x4c, "ROOT");

  // Its security record, the only one: it links to itself. hivex gives every new key its
  // parent's record, so the root must have one.
  const size_t security = bin + kSecurityCell;
  Put32(bytes, security, static_cast<uint32_t>(-static_cast<int32_t>(kSecurityCellSize)));
  const size_t sk = security + 4;
  PutText(bytes, sk + 0x00, "sk");
  Put32(bytes, sk + 0x04, kSecurityCell);
  Put32(bytes, sk + 0x08, kSecurityCell);
  Put32(bytes, sk + 0x0c, 1);   // used by the root
  Put32(bytes, sk + 0x10, 20);  // descriptor size
  // Self-relative descriptor, revision 1, DACL present but null: everyone has access.
  bytes[sk + 0x14] = 1;
  Put16(bytes, sk + 0x16, 0x8004);

  // The rest of the bin is one free cell (positive size).
  Put32(bytes, bin + kFreeCell, static_cast<uint32_t>(kBinSize - kFreeCell));

  return WriteFile(path, bytes);
}

std::vector<uint8_t> Utf16(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<uint8_t>(text[i]);
    uint32_t code = lead;
    size_t length = 1;
    if (lead >= 0xf0) {
      code = lead & 0x07u;
      length = 4;
    } else if (lead >= 0xe0) {
      code = lead & 0x0fu;
      length = 3;
    } else if (lead >= 0xc0) {
      code = lead & 0x1fu;
      length = 2;
    }
    for (size_t k = 1; k < length && i + k < text.size(); ++k)
      code = code << 6 | (static_cast<uint8_t>(text[i + k]) & 0x3fu);
    i += length;
    auto unit = [&bytes](uint32_t value) {
      bytes.push_back(static_cast<uint8_t>(value));
      bytes.push_back(static_cast<uint8_t>(value >> 8));
    };
    if (code >= 0x10000) {
      code -= 0x10000;
      unit(0xd800 | (code >> 10));
      unit(0xdc00 | (code & 0x3ff));
    } else {
      unit(code);
    }
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

std::vector<uint8_t> Dword(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

bool MarkUnclean(const std::string& path) {
  std::vector<uint8_t> bytes = ReadFile(path);
  if (bytes.size() < kBaseBlockSize) return false;
  Put32(bytes, 0x04, Get32(bytes, 0x08) + 1);
  Checksum(bytes);
  return WriteFile(path, bytes);
}

Builder::Builder(const std::string& path) : path_(path) {
  if (WriteEmptyHive(path)) handle_ = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
  ok_ = handle_ != nullptr;
}

Builder::~Builder() {
  if (handle_ != nullptr) hivex_close(handle_);
}

size_t Builder::Node(const std::string& keyPath) {
  if (!ok_) return 0;
  hive_node_h node = hivex_root(handle_);
  size_t start = 0;
  while (node != 0 && start < keyPath.size()) {
    size_t end = keyPath.find('\\', start);
    if (end == std::string::npos) end = keyPath.size();
    const std::string name = keyPath.substr(start, end - start);
    hive_node_h child = hivex_node_get_child(handle_, node, name.c_str());
    if (child == 0) child = hivex_node_add_child(handle_, node, name.c_str());
    node = child;
    start = end + 1;
  }
  ok_ = node != 0;
  return node;
}

Builder& Builder::Key(const std::string& keyPath) {
  Node(keyPath);
  return *this;
}

Builder& Builder::Value(const std::string& keyPath, const std::string& name, uint32_t type,
                        const std::vector<uint8_t>& data) {
  const hive_node_h node = Node(keyPath);
  if (node == 0) return *this;
  std::string key = name;
  std::string bytes(data.begin(), data.end());
  hive_set_value value;
  value.key = key.data();
  std::memcpy(&value.t, &type, sizeof type);
  value.len = bytes.size();
  value.value = bytes.data();
  ok_ = hivex_node_set_value(handle_, node, &value, 0) == 0;
  return *this;
}

Builder& Builder::String(const std::string& keyPath, const std::string& name,
                         const std::string& text, uint32_t type) {
  return Value(keyPath, name, type, Utf16(text));
}

bool Builder::Commit() { return ok_ && hivex_commit(handle_, nullptr, 0) == 0; }

void PrintTo(const Value& value, std::ostream* out) {
  char type[16];
  std::snprintf(type, sizeof type, "%#x", value.type);
  *out << '"' << value.name << "\" type " << type << " data";
  for (const uint8_t byte : value.data) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02x", byte);
    *out << hex;
  }
}

bool Readable(const std::string& path) {
  hive_h* handle = hivex_open(path.c_str(), 0);
  if (handle == nullptr) return false;
  struct hivex_visitor visitor = {};
  // Asking for every value makes hivex read each one's name and data.
  visitor.value_any = [](hive_h*, void*, hive_node_h, hive_value_h, hive_type, size_t, const char*,
                         const char*) { return 0; };
  const bool ok = hivex_visit(handle, &visitor, sizeof visitor, nullptr, 0) == 0;
  hivex_close(handle);
  return ok;
}

std::optional<std::vector<Value>> Values(const std::string& path, const std::string& keyPath) {
  hive_h* handle = hivex_open(path.c_str(), 0);
  if (handle == nullptr) return std::nullopt;
  std::optional<std::vector<Value>> result;
  const hive_node_h node = Find(handle, keyPath);
  hive_value_h* values = node != 0 ? hivex_node_values(handle, node) : nullptr;
  if (values != nullptr) {
    result.emplace();
    for (size_t i = 0; values[i] != 0; ++i) {
      hive_type type;
      size_t length = 0;
      char* data = hivex_value_value(handle, values[i], &type, &length);
      char* name = hivex_value_key(handle, values[i]);
      if (data == nullptr || name == nullptr) {
        result.reset();
      } else if (result) {
        result->push_back(Value{name, RawType(type), std::vector<uint8_t>(data, data + length)});
      }
      std::free(data);
      std::free(name);
    }
    std::free(values);
  }
  hivex_close(handle);
  return result;
}

std::optional<std::vector<std::string>> Subkeys(const std::string& path,
                                                const std::string& keyPath) {
  hive_h* handle = hivex_open(path.c_str(), 0);
  if (handle == nullptr) return std::nullopt;
  std::optional<std::vector<std::string>> result;
  const hive_node_h node = Find(handle, keyPath);
  hive_node_h* children = node != 0 ? hivex_node_children(handle, node) : nullptr;
  if (children != nullptr) {
    result.emplace();
    for (size_t i = 0; children[i] != 0; ++i) {
      char* name = hivex_node_name(handle, children[i]);
      result->push_back(name != nullptr ? name : "?");
      std::free(name);
    }
    std::free(children);
  }
  hivex_close(handle);
  return result;
}

}  // namespace hive
