#include <cstring>

#include "platform/files.h"
#include "tests/contract/contract_fixture.h"

std::string ContractTest::WriteFile(const std::string& relative, const std::string& bytes) {
  const std::string path = scratch_ + "\\" + relative;
  const int fd =
      plat::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
  EXPECT_GE(fd, 0) << path;
  if (fd < 0) return path;
  EXPECT_EQ(plat::_write(fd, bytes.data(), static_cast<unsigned>(bytes.size())),
            static_cast<int>(bytes.size()));
  plat::_close(fd);
  return path;
}

std::string ContractTest::MakeFolder(const std::string& relative) {
  const std::string path = scratch_ + "\\" + relative;
  EXPECT_TRUE(plat::CreateDirectoryA(path.c_str(), nullptr)) << path;
  return path;
}

std::string ContractTest::ReadFile(const std::string& path, bool* found) {
  const int fd = plat::_open(path.c_str(), _O_RDONLY | _O_BINARY);
  if (found) *found = fd >= 0;
  if (fd < 0) return std::string();
  std::string bytes;
  char buffer[4096];
  int n;
  while ((n = plat::_read(fd, buffer, sizeof buffer)) > 0)
    bytes.append(buffer, static_cast<size_t>(n));
  plat::_close(fd);
  return bytes;
}
