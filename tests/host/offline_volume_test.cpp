// A Windows installation scanned from outside: its start-up values and service registrations
// are read from the hive files, the scan cleans them in the simulated registry, and only those
// removals reach the files, written so that a failure leaves each hive as it was.
#include "cli/offline_volume.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "engine/scan_driver.h"
#include "engine/signatures/signature_record.h"
#include "platform/files.h"
#include "tests/support/hive_builder.h"
#include "tests/support/scan_fixture.h"
#include "tools/specimen/specimen.h"

namespace {

using Names = std::vector<std::string>;
using Lines = std::vector<std::string>;
using Values = std::vector<hive::Value>;

const char kRun[] = "Microsoft\\Windows\\CurrentVersion\\Run";
const char kRunServices[] = "Microsoft\\Windows\\CurrentVersion\\RunServices";
const char kServices1[] = "ControlSet001\\Services";
const char kServices2[] = "ControlSet002\\Services";
const char kSpecimen[] = "C:\\WINDOWS\\system32\\svcx.exe";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Names Entries(const std::string& folder) {
  Names names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

hive::Value Text(const std::string& name, const std::string& text, uint32_t type = hive::kSz) {
  return {name, type, hive::Utf16(text)};
}

// The values of `all` without those named.
Values Without(Values all, const Names& names) {
  all.erase(std::remove_if(all.begin(), all.end(),
                           [&](const hive::Value& value) {
                             return std::find(names.begin(), names.end(), value.name) !=
                                    names.end();
                           }),
            all.end());
  return all;
}

class OfflineVolumeTest : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    reports_.clear();
    volume_.report = [this](const std::string& line) { reports_.push_back(line); };
    MakeFolder("C:\\WINDOWS\\system32\\Config");
    config_ = Host("C:\\WINDOWS\\system32\\Config");
    software_ = config_ + "/software";
    system_ = config_ + "/SYSTEM";
  }

  // The start-up values, in hive order: two launch the specimen, the others must survive as
  // they are, whatever their names, types and bytes.
  Values RunValues() const {
    return {
        Text("svcx", kSpecimen),
        Text("Sound", "C:\\WINDOWS\\system32\\sndvol32.exe /tray"),
        Text("Loader", "\"%SystemRoot%\\system32\\svcx.exe\" -start", hive::kExpandSz),
        Text("Caf\xc3\xa9", "C:\\Program Files\\Caf\xc3\xa9\\caf\xc3\xa9.exe"),  // Latin-1 name
        {"\xce\xa9mega", hive::kBinary, {0xde, 0xad, 0xbe, 0xef, 0x00, 0x01}},   // UTF-16 name
        {"Odd", 0x00ff1234, {1, 2, 3}},
        Text("", "default value"),
    };
  }
  Values RunServicesValues() const {
    return {Text("svcx", "svcx.exe"), Text("Keep", "C:\\Tools\\keep.exe")};
  }

  void WriteSoftware() {
    hive::Builder software(software_);
    for (const hive::Value& value : RunValues())
      software.Value(kRun, value.name, value.type, value.data);
    for (const hive::Value& value : RunServicesValues())
      software.Value(kRunServices, value.name, value.type, value.data);
    software.String("Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir", "C:\\Program Files");
    ASSERT_TRUE(software.Commit());
  }

  // svcx runs the specimen from both control sets; the others run clean programs.
  void WriteSystem() {
    hive::Builder system(system_);
    for (const std::string services : {kServices1, kServices2}) {
      const std::string svcx = services + "\\svcx";
      system.String(svcx, "ImagePath", "%SystemRoot%\\system32\\svcx.exe", hive::kExpandSz)
          .Value(svcx, "Start", hive::kDword, hive::Dword(2))
          .Value(svcx + "\\Enum", "Count", hive::kDword, hive::Dword(1))
          .Value(svcx + "\\Security", "Security", hive::kBinary, {1, 0, 0x14, 0x80})
          .String(svcx + "\\Parameters", "ServiceDll", "svcx.dll");
      system
          .String(services + "\\Tcpip", "ImagePath", "system32\\DRIVERS\\tcpip.sys",
                  hive::kExpandSz)
          .Value(services + "\\Tcpip\\Parameters", "EnableDHCP", hive::kDword, hive::Dword(1));
      system.String(services + "\\mysvcx", "ImagePath", "C:\\WINDOWS\\system32\\mysvcx.exe");
    }
    system.String("Select", "Current", "1");
    ASSERT_TRUE(system.Commit());
  }

  void Install(bool infected = true) {
    WriteSoftware();
    WriteSystem();
    if (infected) {
      const std::vector<uint8_t> specimen = specimen::MatchingFile(SignatureTable[39]);
      MakeFile(kSpecimen, std::string(specimen.begin(), specimen.end()));
    }
    MakeFile("C:\\WINDOWS\\system32\\sndvol32.exe", "a clean program");
    MakeFile("C:\\WINDOWS\\system32\\mysvcx.exe", "another clean program");
  }

  bool Open(std::string* error) { return volume_.Open(Host("C:"), error); }

  // Acts on what the scan finds; the Windows paths of the files it removed.
  Names Scan(int32_t action = ActionRemove) {
    CopyText(g_scan.scanTarget, "!:");
    g_scan.removalAction = action;
    RunScan();
    return FilesTakenAway(g_scan.findings, false);
  }

  // services_: the services reported removed.
  bool Commit(const Names& removed, std::string* error, bool reportOnly = false) {
    services_.clear();
    volume_.report = [this](const std::string& line) { reports_.push_back(line); };
    const bool ok = volume_.Commit(removed, reportOnly, error);
    const std::string mark = " removed (service ";
    for (const std::string& line : reports_) {
      const size_t at = line.find(mark);
      if (at != std::string::npos)
        services_.push_back(line.substr(at + mark.size(), line.size() - at - mark.size() - 1));
    }
    return ok;
  }

  // The results-list lines of the registry cleanup.
  Lines RegistryLines() {
    Lines lines;
    for (const std::string& line : window().allLines) {
      if (line.compare(0, 16, "System Registry ") == 0) lines.push_back(line);
    }
    return lines;
  }

  OfflineVolume volume_;
  std::string config_, software_, system_;
  Names services_;
  Lines reports_;  // the volume's own lines
};

TEST_F(OfflineVolumeTest, ScanRemovesTheStartupValuesAndServicesOfTheRemovedFile) {
  Install();
  const std::string software = ReadAll(software_), system = ReadAll(system_);
  std::string error;
  ASSERT_TRUE(Open(&error)) << error;
  // The engine reads string data as the ANSI calls give it, other data as stored.
  EXPECT_EQ(machine().registry.GetString(
                HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "svcx"),
            kSpecimen);
  EXPECT_EQ(machine().registry.GetValue(HKEY_LOCAL_MACHINE,
                                        "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "Odd"),
            (std::vector<uint8_t>{1, 2, 3}));

  const Names removed = Scan();
  ASSERT_EQ(removed, (Names{kSpecimen}));
  EXPECT_FALSE(Exists(kSpecimen));
  ASSERT_TRUE(Commit(removed, &error)) << error;
  EXPECT_EQ(services_, (Names{"svcx"}));  // once, though both control sets had it

  EXPECT_EQ(hive::Values(software_, kRun), Without(RunValues(), {"svcx", "Loader"}));
  EXPECT_EQ(hive::Values(software_, kRunServices), Without(RunServicesValues(), {"svcx"}));
  for (const std::string services : {kServices1, kServices2}) {
    EXPECT_EQ(hive::Subkeys(system_, services), (Names{"mysvcx", "Tcpip"})) << services;
    EXPECT_FALSE(hive::Subkeys(system_, services + "\\svcx\\Enum"));
    EXPECT_EQ(hive::Subkeys(system_, services + "\\Tcpip"), (Names{"Parameters"}));
    EXPECT_EQ(hive::Values(system_, services + "\\Tcpip\\Parameters"),
              (Values{{"EnableDHCP", hive::kDword, hive::Dword(1)}}));
  }
  EXPECT_EQ(hive::Values(system_, "Select"), (Values{Text("Current", "1")}));
  EXPECT_TRUE(hive::Readable(software_));
  EXPECT_TRUE(hive::Readable(system_));
  // Each changed hive is kept as it was, and the report says where.
  EXPECT_EQ(Entries(config_),
            (Names{"SYSTEM", "SYSTEM.vexpurge-backup", "software", "software.vexpurge-backup"}));
  EXPECT_EQ(ReadAll(software_ + ".vexpurge-backup"), software);
  EXPECT_EQ(ReadAll(system_ + ".vexpurge-backup"), system);
  EXPECT_EQ(reports_.front(), "System Registry     backup of " + software_ + " kept as " +
                                  software_ + ".vexpurge-backup");
}

TEST_F(OfflineVolumeTest, ReportOnlyChangesNothingAndSaysWhatWouldGo) {
  Install();
  const std::string software = ReadAll(software_), system = ReadAll(system_);
  std::string error;
  ASSERT_TRUE(Open(&error)) << error;
  EXPECT_TRUE(Scan(ActionReportOnly).empty());
  EXPECT_TRUE(Exists(kSpecimen));
  EXPECT_EQ(
      RegistryLines(),
      Lines(3, "System Registry     W32/Tarvix.Backdoor not removed as per user's selection"));
  ASSERT_TRUE(Commit({kSpecimen}, &error, true)) << error;
  EXPECT_EQ(reports_, (Lines{"System Registry     W32/Tarvix.Backdoor not removed as per user's "
                             "selection (service svcx)"}));
  EXPECT_EQ(ReadAll(software_), software);
  EXPECT_EQ(ReadAll(system_), system);
  EXPECT_EQ(Entries(config_), (Names{"SYSTEM", "software"}));
}

// Hives copied out of a disk image are read as the installation's own, named as in the image,
// and never written, whatever the scan asks.
TEST_F(OfflineVolumeTest, CopiesOfTheHivesAreReadAndNeverWritten) {
  Install();
  MakeFile("C:\\copies\\SOFTWARE", ReadAll(software_));
  MakeFile("C:\\copies\\SYSTEM", ReadAll(system_));
  const std::string software = Host("C:\\copies\\SOFTWARE"), system = Host("C:\\copies\\SYSTEM");
  const std::string before = ReadAll(software) + ReadAll(system);
  OfflineVolume::InstallationCopy copy;
  copy.windowsFolder = "C:\\WINDOWS";
  copy.systemName = "system32";
  copy.software = software;
  copy.softwareShown = "disk.img:p2:\\WINDOWS\\system32\\config\\SOFTWARE";
  copy.system = system;
  copy.systemShown = "disk.img:p2:\\WINDOWS\\system32\\config\\SYSTEM";
  std::string error;
  ASSERT_TRUE(volume_.OpenCopies(copy, &error)) << error;
  EXPECT_EQ(volume_.Unwritable(),
            (Names{copy.softwareShown + ": cannot be written: it was read out of a disk image",
                   copy.systemShown + ": cannot be written: it was read out of a disk image"}));
  const Names removed = Scan();
  EXPECT_FALSE(Commit(removed, &error));
  EXPECT_EQ(reports_,
            (Lines{"System Registry     W32/Tarvix.Backdoor not removed (service svcx): " +
                   copy.systemShown + ": cannot be written: it was read out of a disk image"}));
  EXPECT_EQ(ReadAll(software) + ReadAll(system), before);
}

// The services to take away follow the recorded findings, whatever their lines say.
TEST(FilesTakenAway, FilesDoneOrInReportOnlyTheBinariesFound) {
  using Kind = FindingKind;
  using Action = FindingAction;
  using Result = FindingResult;
  const auto found = [](const char* path, Kind kind, Action action, Result result) {
    Finding finding;
    finding.path = path;
    finding.kind = kind;
    finding.action = action;
    finding.result = result;
    return finding;
  };
  const std::vector<Finding> acted = {
      found("C:\\a.exe", Kind::kBinaryFile, Action::kDelete, Result::kDone),
      found("C:\\b.exe", Kind::kBinaryFile, Action::kDelete, Result::kFailed),
      found("C:\\c.exe", Kind::kBinaryFile, Action::kBootDelete, Result::kScheduled),
      found("C:\\d.exe", Kind::kBinaryFile, Action::kRename, Result::kDone),
      found("C:\\e.exe", Kind::kBinaryFile, Action::kQuarantine, Result::kDone),
      found("C:\\f.exe", Kind::kBinaryFile, Action::kQuarantine, Result::kFailed),
      found("C:\\hosts", Kind::kTextFile, Action::kDelete, Result::kDone),
  };
  EXPECT_EQ(FilesTakenAway(acted, false),
            (Names{"C:\\a.exe", "C:\\d.exe", "C:\\e.exe", "C:\\hosts"}));
  const std::vector<Finding> reported = {
      found("C:\\a.exe", Kind::kBinaryFile, Action::kReportOnly, Result::kLeftAsSelected),
      found("C:\\hosts", Kind::kTextFile, Action::kReportOnly, Result::kLeftAsSelected),
      found("C:\\b.exe", Kind::kProcess, Action::kReportOnly, Result::kLeftAsSelected),
  };
  EXPECT_EQ(FilesTakenAway(reported, true), (Names{"C:\\a.exe"}));
}

TEST_F(OfflineVolumeTest, HivesWithoutRemovalsAreNotRewritten) {
  Install(false);
  const std::string software = ReadAll(software_), system = ReadAll(system_);
  std::string error;
  ASSERT_TRUE(Open(&error)) << error;
  EXPECT_TRUE(Scan().empty());
  ASSERT_TRUE(Commit({}, &error)) << error;
  EXPECT_TRUE(services_.empty());
  // hivex counts every save in the header: equal bytes mean no save.
  EXPECT_EQ(ReadAll(software_), software);
  EXPECT_EQ(ReadAll(system_), system);
  EXPECT_EQ(Entries(config_), (Names{"SYSTEM", "software"}));
}

TEST_F(OfflineVolumeTest, ServicesAreMatchedByTheFileTheirImagePathRuns) {
  WriteSoftware();
  const std::string software = ReadAll(software_);
  {
    hive::Builder system(system_);
    const std::pair<const char*, const char*> services[] = {
        {"Plain", "%SystemRoot%\\system32\\svcx.exe"},
        {"Quoted", "\"%windir%\\System32\\SVCX.EXE\" -k netsvcs"},
        {"Arguments", "C:\\WINDOWS\\system32\\svcx.exe -service"},
        {"NtRoot", "\\SystemRoot\\system32\\svcx.exe"},
        {"Relative", "system32\\svcx.exe"},
        {"NtPath", "\\??\\C:\\WINDOWS\\system32\\svcx.exe"},
        {"Longer", "%SystemRoot%\\system32\\svcx.exe.old"},
        {"Other", "C:\\WINDOWS\\system32\\mysvcx.exe"},
        {"QuotedSpace", "\"C:\\WINDOWS\\system32\\svcx.exe -x\""},
        {"Elsewhere", "C:\\Temp\\svcx.exe"},
        {"Short", "C:\\PROGRA~1\\TARVIX~1\\svcx.exe -k"},
        {"Slashes", "C:/WINDOWS/system32/svcx.exe /service"},
        {"Blanks", "  \"%SystemRoot%\\system32\\svcx.exe\""},
    };
    for (const auto& service : services) {
      system.String(std::string(kServices1) + "\\" + service.first, "ImagePath", service.second,
                    hive::kExpandSz);
    }
    system.Key(std::string(kServices1) + "\\NoImage");  // and no second control set
    ASSERT_TRUE(system.Commit());
  }
  // 8.3 aliases are resolved on the volume when it is opened, while the files are there.
  MakeFile("C:\\Program Files\\Tarvix Tools\\svcx.exe");
  std::string error;
  ASSERT_TRUE(Open(&error)) << error;
  ASSERT_TRUE(Commit({kSpecimen, "C:\\Program Files\\Tarvix Tools\\svcx.exe"}, &error)) << error;

  std::sort(services_.begin(), services_.end());
  EXPECT_EQ(services_, (Names{"Arguments", "Blanks", "NtPath", "NtRoot", "Plain", "Quoted",
                              "Relative", "Short", "Slashes"}));
  EXPECT_EQ(hive::Subkeys(system_, kServices1),
            (Names{"Elsewhere", "Longer", "NoImage", "Other", "QuotedSpace"}));
  EXPECT_TRUE(hive::Readable(system_));
  // Nothing was taken out of SOFTWARE: the scan did not run.
  EXPECT_EQ(ReadAll(software_), software);
}

TEST_F(OfflineVolumeTest, OpenSetsTheMachineUpAsTheInstallation) {
  MakeFolder("C:\\WINDOWS\\Temp");
  std::string error;
  // No hive at all: nothing to clean in the registry, and not an error.
  ASSERT_TRUE(Open(&error)) << error;
  EXPECT_EQ(machine().windowsDirectory, "C:\\WINDOWS");
  EXPECT_EQ(machine().systemDirectory, "C:\\WINDOWS\\system32");
  EXPECT_EQ(machine().tempDirectory, "C:\\WINDOWS\\Temp\\");
  EXPECT_EQ(machine().version.platformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_EQ(machine().version.major * 10 + machine().version.minor, 51u);
  // The machine's own start-up keys are gone: only the installation's count.
  EXPECT_FALSE(machine().registry.KeyExists(HKEY_LOCAL_MACHINE,
                                            "Software\\Microsoft\\Windows\\CurrentVersion\\Run"));

  // No next boot will come to delete a file that is in use.
  MakeFile("C:\\WINDOWS\\busy.exe");
  EXPECT_FALSE(plat::MoveFileExA("C:\\WINDOWS\\busy.exe", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(machine().rebootDeletes.empty());
}

TEST_F(OfflineVolumeTest, AHiveThatCannotBeReadFailsOpenAndIsLeftAlone) {
  WriteSystem();
  std::string valid;
  {
    hive::Builder software(software_);
    software.String(kRun, "svcx", kSpecimen);
    ASSERT_TRUE(software.Commit());
    valid = ReadAll(software_);
  }
  std::string damaged = valid;
  damaged[0x30] ^= 0x01;  // inside the base block: its checksum no longer holds
  for (const std::string& bytes : {std::string(9000, 'x'), damaged}) {
    std::ofstream(software_, std::ios::binary | std::ios::trunc) << bytes;
    std::string error;
    OfflineVolume volume;
    EXPECT_FALSE(volume.Open(Host("C:"), &error));
    EXPECT_NE(error.find(software_ + ": the registry hive cannot be read: the hive is damaged"),
              std::string::npos)
        << error;
    EXPECT_EQ(error.find("Invalid argument"), std::string::npos) << error;
    EXPECT_EQ(ReadAll(software_), bytes);
    // Nothing of it is loaded; the other hive is, so the scan can go on.
    EXPECT_FALSE(machine().registry.KeyExists(HKEY_LOCAL_MACHINE,
                                              "Software\\Microsoft\\Windows\\CurrentVersion\\Run"));
    EXPECT_TRUE(
        machine().registry.KeyExists(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\svcx"));
  }
}

// Makes a folder immutable for its lifetime: not even root can add a file to it.
class FrozenFolder {
 public:
  explicit FrozenFolder(const std::string& folder)
      : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY)) {
    int flags = 0;
    frozen_ = fd_ != -1 && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0 &&
              (flags |= FS_IMMUTABLE_FL, ::ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0);
  }
  ~FrozenFolder() {
    int flags = 0;
    if (frozen_ && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~FS_IMMUTABLE_FL;
      ::ioctl(fd_, FS_IOC_SETFLAGS, &flags);
    }
    if (fd_ != -1) ::close(fd_);
  }
  FrozenFolder(const FrozenFolder&) = delete;
  FrozenFolder& operator=(const FrozenFolder&) = delete;
  bool frozen() const { return frozen_; }

 private:
  int fd_;
  bool frozen_ = false;
};

TEST_F(OfflineVolumeTest, WhatCannotBeWrittenIsKnownBeforeAndLeftAsItWas) {
  struct Case {
    std::function<void()> prepare;
    size_t left;           // start-up values left, each with a line saying why
    bool softwareChanged;  // the values that could go went
  };
  const Case cases[] = {
      // A save that never finished: a rewrite would lose what the hive's log holds.
      {[this] { EXPECT_TRUE(hive::MarkUnclean(software_)); }, 3, false},
      // A value too long for hivex to write back the way Windows reads it: its key stays whole.
      {[this] {
         hive::Builder software(software_);
         for (const hive::Value& value : RunValues())
           software.Value(kRun, value.name, value.type, value.data);
         for (const hive::Value& value : RunServicesValues())
           software.Value(kRunServices, value.name, value.type, value.data);
         software.Value(kRun, "Blob", hive::kBinary, std::vector<uint8_t>(20000, 0x5a));
         EXPECT_TRUE(software.Commit());
       },
       2, true},
  };
  for (const Case& test : cases) {
    Install();
    test.prepare();
    const std::string software = ReadAll(software_);
    std::string error;
    ASSERT_TRUE(Open(&error)) << error;
    const Names removed = Scan();
    ASSERT_EQ(removed, (Names{kSpecimen}));
    const std::string left =
        "System Registry     W32/Tarvix.Backdoor not removed: " + software_ + ": cannot be written";
    size_t leftLines = 0;
    for (const std::string& line : RegistryLines()) leftLines += line.rfind(left, 0) == 0 ? 1 : 0;
    EXPECT_EQ(leftLines, test.left);

    EXPECT_FALSE(Commit(removed, &error));
    EXPECT_NE(error.find(software_), std::string::npos) << error;
    EXPECT_EQ(hive::Values(software_, kRun).value_or(Values{}).size(),
              RunValues().size() + (test.softwareChanged ? 1 : 0));
    if (test.softwareChanged) {
      EXPECT_EQ(hive::Values(software_, kRunServices), Without(RunServicesValues(), {"svcx"}));
      EXPECT_EQ(ReadAll(software_ + ".vexpurge-backup"), software);
    } else {
      EXPECT_EQ(ReadAll(software_), software) << error;
      EXPECT_EQ(Entries(config_), (Names{"SYSTEM", "SYSTEM.vexpurge-backup", "software"}));
    }
    // Each hive is written on its own: SYSTEM lost the service all the same.
    EXPECT_EQ(hive::Subkeys(system_, kServices1), (Names{"mysvcx", "Tcpip"}));
    EXPECT_EQ(services_, (Names{"svcx"}));

    TearDown();
    SetUp();
  }
}

TEST_F(OfflineVolumeTest, AHiveInAFolderThatTakesNoNewFileIsNotWritten) {
  Install();
  const std::string system = ReadAll(system_);
  FrozenFolder frozen(config_);
  if (!frozen.frozen()) GTEST_SKIP() << "this file system cannot make a folder immutable";
  std::string error;
  ASSERT_TRUE(Open(&error)) << error;
  // Known before the scan acts.
  const Names unwritable = volume_.Unwritable();
  ASSERT_EQ(unwritable.size(), 2u);
  EXPECT_NE(unwritable[0].find("no new file can be made in its folder"), std::string::npos)
      << unwritable[0];
  const Names removed = Scan();
  EXPECT_EQ(RegistryLines().size(), 3u);
  EXPECT_FALSE(Commit(removed, &error));
  EXPECT_EQ(reports_,
            (Lines{"System Registry     W32/Tarvix.Backdoor not removed (service svcx): " +
                   unwritable[1]}))
      << error;
  EXPECT_EQ(ReadAll(system_), system);
}

TEST_F(OfflineVolumeTest, ARewrittenHiveKeepsItsOwnerModeAndLinkAndEveryBackup) {
  // SOFTWARE is a symbolic link to a file elsewhere, owned by someone else, readable by few.
  MakeFile("C:\\hives\\SOFTWARE.real", "");
  const std::string real = Host("C:\\hives\\SOFTWARE.real");
  ASSERT_EQ(::symlink(real.c_str(), software_.c_str()), 0);
  Install();
  ASSERT_EQ(::chown(real.c_str(), 1234, 5678), 0);
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  // A first backup from an earlier run, and something else in the way of the next name.
  std::ofstream(real + ".vexpurge-backup") << "an earlier backup";
  ASSERT_EQ(::mkdir((real + ".vexpurge-backup.1").c_str(), 0755), 0);
  const std::string before = ReadAll(real);

  std::string error;
  ASSERT_TRUE(Open(&error)) << error;
  const Names removed = Scan();
  ASSERT_TRUE(Commit(removed, &error)) << error;
  struct stat link, info;
  ASSERT_EQ(::lstat(software_.c_str(), &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  ASSERT_EQ(::stat(real.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 1234u);
  EXPECT_EQ(info.st_gid, 5678u);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(hive::Values(real, kRunServices), Without(RunServicesValues(), {"svcx"}));
  EXPECT_EQ(ReadAll(real + ".vexpurge-backup"), "an earlier backup");
  EXPECT_EQ(ReadAll(real + ".vexpurge-backup.2"), before);
  EXPECT_EQ(reports_.front(), "System Registry     backup of " + software_ + " kept as " + real +
                                  ".vexpurge-backup.2");
}

}  // namespace
