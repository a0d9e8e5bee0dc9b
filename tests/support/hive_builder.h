// Registry hive files for the offline-volume tests. hivex cannot make a hive from nothing, so an
// empty one (base block, one bin, the root key and its security record) is written by hand and
// hivex fills it; and what a hive holds is read back through hivex.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

struct hive_h;

namespace hive {

constexpr uint32_t kSz = 1;
constexpr uint32_t kExpandSz = 2;
constexpr uint32_t kBinary = 3;
constexpr uint32_t kDword = 4;

// Writes a hive that holds only its root key. False when the file cannot be written.
bool WriteEmptyHive(const std::string& path);

// Text as Windows stores string data: UTF-16LE (from UTF-8) with its terminator.
std::vector<uint8_t> Utf16(const std::string& text);
std::vector<uint8_t> Dword(uint32_t value);

// Marks the hive as saved only half-way, as a crash during a save leaves it: the second
// sequence number lags the first (the header checksum made right again).
bool MarkUnclean(const std::string& path);

// Builds a hive file: an empty hive is written at once, keys and values are added with hivex,
// and Commit writes the result over it. Any failure makes Commit fail.
class Builder {
 public:
  explicit Builder(const std::string& path);
  ~Builder();
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;

  // keyPath: backslash path below the root; missing keys on the way are made.
  Builder& Key(const std::string& keyPath);
  // Adds the value, or replaces the one of that name; new values go after the others.
  Builder& Value(const std::string& keyPath, const std::string& name, uint32_t type,
                 const std::vector<uint8_t>& data);
  Builder& String(const std::string& keyPath, const std::string& name, const std::string& text,
                  uint32_t type = kSz);
  bool Commit();

 private:
  size_t Node(const std::string& keyPath);

  std::string path_;
  hive_h* handle_ = nullptr;
  bool ok_ = false;
};

struct Value {
  std::string name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  bool operator==(const Value& other) const {
    return name == other.name && type == other.type && data == other.data;
  }
};

// Shown as name, type and data bytes when a test fails.
void PrintTo(const Value& value, std::ostream* out);

// Whether hivex reads every key and value of the file without fault.
bool Readable(const std::string& path);

// What the hive file holds at a key; nothing when the file or the key cannot be read.
std::optional<std::vector<Value>> Values(const std::string& path, const std::string& keyPath);
std::optional<std::vector<std::string>> Subkeys(const std::string& path,
                                                const std::string& keyPath);

}  // namespace hive
