#include "tests/support/lost_tree.h"

#include <cstring>
#include <random>

#include "engine/signatures/signature_record.h"
#include "platform/files.h"
#include "tools/specimen/specimen.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint64_t Digest(const Bytes& bytes) {
  uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (uint8_t b : bytes) hash = (hash ^ b) * 1099511628211ull;
  return hash;
}

bool Write(const std::string& path, const Bytes& bytes) {
  const int fd =
      plat::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return false;
  const int written =
      bytes.empty() ? 0 : plat::_write(fd, bytes.data(), static_cast<unsigned>(bytes.size()));
  plat::_close(fd);
  return written == static_cast<int>(bytes.size());
}

bool Read(const std::string& path, Bytes* bytes) {
  const int fd = plat::_open(path.c_str(), _O_RDONLY | _O_BINARY);
  if (fd < 0) return false;
  bytes->clear();
  unsigned char buffer[65536];
  int n;
  while ((n = plat::_read(fd, buffer, sizeof buffer)) > 0)
    bytes->insert(bytes->end(), buffer, buffer + n);
  plat::_close(fd);
  return true;
}

class Builder {
 public:
  explicit Builder(LostTree* tree) : tree_(tree) {}

  void File(const std::string& path, const Bytes& bytes, bool specimen = false,
            uint32_t attributes = 0) {
    if (!Write(path, bytes)) return;
    if (attributes != 0) plat::SetFileAttributesA(path.c_str(), attributes);
    tree_->files.push_back(
        {path, Digest(bytes), bytes.size(), plat::GetFileAttributesA(path.c_str()), specimen});
    if (specimen) ++tree_->specimens;
  }

  std::string Folder(const std::string& path) {
    plat::CreateDirectoryA(path.c_str(), nullptr);
    return path;
  }

 private:
  LostTree* tree_;
};

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace

LostTree BuildLostTree(const std::string& root, int cleanCount) {
  LostTree tree;
  Builder build(&tree);
  std::mt19937 random(20261208);

  // Clean PE files of every size the table knows, each one pattern byte short of a match.
  const std::string sizes = build.Folder(root + "\\sizes");
  for (size_t row = 0; row < kSignatureCount; ++row) {
    const Bytes file =
        specimen::NearMissFile(SignatureTable[row], specimen::NearMiss::SecondPatternByte);
    if (!file.empty()) build.File(sizes + "\\row" + std::to_string(row + 1) + ".exe", file);
  }

  // Every kind of near miss, for a few records.
  const std::string misses = build.Folder(root + "\\near misses");
  using specimen::NearMiss;
  for (int row : {1, 18, 45, 58, 151}) {
    for (NearMiss kind :
         {NearMiss::LongerByOne, NearMiss::ShorterByOne, NearMiss::FirstPatternByte,
          NearMiss::TwentyOneSections, NearMiss::NoPeSignature, NearMiss::ShortHeaders}) {
      const Bytes file = specimen::NearMissFile(SignatureTable[row - 1], kind);
      if (!file.empty())
        build.File(
            misses + "\\" + std::to_string(row) + "-" + specimen::NearMissName(kind) + ".dll",
            file);
    }
  }

  // Odd ones: empty, attributes, blanks and non-ASCII bytes in names, deep nesting.
  const std::string odd = build.Folder(root + "\\odd ones");
  build.File(odd + "\\empty", Bytes());
  build.File(odd + "\\empty.exe", Bytes());
  build.File(odd + "\\read only.txt", Text("keep me\r\n"), false, FILE_ATTRIBUTE_READONLY);
  build.File(odd + "\\hidden.sys", Text("hidden"), false,
             FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  build.File(odd + "\\read only hidden.exe",
             specimen::NearMissFile(SignatureTable[39], NearMiss::FirstPatternByte), false,
             FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  build.File(odd + "\\caf\xE9 men\xFC.txt", Text("accents"));
  build.File(odd + "\\name with  two  blanks .exe", Text("MZ but nothing else"));
  std::string deep = odd;
  while (deep.size() + 41 < 230)
    deep = build.Folder(deep + "\\" + std::string(40, static_cast<char>('a' + deep.size() % 26)));
  build.File(deep + "\\" + std::string(250 - deep.size() - 1 - 4, 'z') + ".exe", Text("deep"));

  // Plenty of small files: text and random bytes, some starting like a PE file.
  const std::string many = build.Folder(root + "\\many");
  for (int i = 0; i < cleanCount; ++i) {
    const std::string folder = many + "\\" + std::to_string(i % 20);
    if (i < 20) build.Folder(folder);
    Bytes bytes(static_cast<size_t>(random() % 6000));
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    if (i % 3 == 0) bytes = Text("line " + std::to_string(i) + "\r\nbegin 644 not really\r\n");
    if (i % 7 == 0 && bytes.size() > 64) {
      bytes[0] = 'M';
      bytes[1] = 'Z';
    }
    build.File(folder + "\\file" + std::to_string(i) + (i % 2 ? ".exe" : ".dat"), bytes);
  }

  // The specimens, one of them read-only and hidden.
  const std::string bad = build.Folder(root + "\\bad");
  for (int row : {1, 40, 58, 122, 174}) {
    build.File(bad + "\\specimen" + std::to_string(row) + ".exe",
               specimen::MatchingFile(SignatureTable[row - 1]), true);
  }
  build.File(odd + "\\hidden specimen.scr", specimen::MatchingFile(SignatureTable[44]), true,
             FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  return tree;
}

std::vector<std::string> CheckLostTree(const LostTree& tree) {
  std::vector<std::string> problems;
  for (const TreeFile& file : tree.files) {
    Bytes bytes;
    const bool present = Read(file.path, &bytes);
    if (file.specimen) {
      if (present) problems.push_back("specimen left: " + file.path);
      continue;
    }
    if (!present) {
      problems.push_back("clean file lost: " + file.path);
    } else if (bytes.size() != file.size || Digest(bytes) != file.digest) {
      problems.push_back("clean file changed: " + file.path);
    } else if (plat::GetFileAttributesA(file.path.c_str()) != file.attributes) {
      problems.push_back("clean file's attributes changed: " + file.path);
    }
  }
  return problems;
}
