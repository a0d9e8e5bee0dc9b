// Process lists and termination by file on every Windows generation: toolhelp (9x), psapi
// (NT 5) and performance data (other NT), including performance blocks that are malformed.
#include "memory/process_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "memory/perf_data.h"
#include "tests/double/sim_machine.h"

namespace {

using Listed = std::vector<std::pair<DWORD, std::string>>;
using Bytes = std::vector<uint8_t>;
using Sleeps = std::vector<DWORD>;
using sim::WindowsVersion;

constexpr uint8_t kSentinelByte = 0xbd;
constexpr DWORD kSentinel = 0xbdbdbdbd;
constexpr DWORD kIdProcess = 784;
constexpr DWORD kProcessorTime = 6;
constexpr char kPerflib009[] = "software\\microsoft\\windows nt\\currentversion\\perflib\\009";

Listed Flatten(const ProcessList& list) {
  Listed listed;
  for (const ProcessNode* node = list.get(); node != nullptr; node = node->next) {
    listed.emplace_back(node->processId, node->imagePath);
  }
  return listed;
}

// Every test starts on a new machine and must give back every handle it opened.
class ProcessTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(m.OpenHandles(), handlesAtStart) << "handle leak"; }

  sim::Machine& m = (sim::Reset(), sim::machine());
  const size_t handlesAtStart = m.OpenHandles();
};

// ---------------------------------------------------------------------------------------------
// Performance data blocks

struct PerfInstance {
  std::string name;
  DWORD pid;
};

// A block shaped as Windows writes it: data block header, one object, its counter definitions,
// then each instance followed by its counter block. Counters other than ID Process hold the
// sentinel, so reading the wrong one shows.
struct PerfBlock {
  Bytes bytes;
  size_t object = 0;
  size_t firstInstance = 0;
  std::vector<size_t> instanceAt;
  std::vector<size_t> counterBlockAt;
  std::vector<size_t> instanceEnd;  // end of the instance's counter block

  void Put(size_t position, uint32_t value) { std::memcpy(&bytes[position], &value, 4); }
};

constexpr size_t kBlockHeader = 64;
constexpr size_t kObjectHeader = 64;

PerfBlock BuildBlock(const std::vector<PerfInstance>& instances,
                     const std::vector<DWORD>& counters = {kProcessorTime, kIdProcess}) {
  PerfBlock block;
  Bytes& b = block.bytes;
  b.assign(kBlockHeader + kObjectHeader + 40 * counters.size(), 0);
  const char16_t signature[] = u"PERF";
  std::memcpy(b.data(), signature, 8);
  block.Put(24, kBlockHeader);
  block.object = kBlockHeader;
  block.Put(block.object + 4, static_cast<uint32_t>(kObjectHeader + 40 * counters.size()));
  block.Put(block.object + 8, kObjectHeader);
  block.Put(block.object + 32, static_cast<uint32_t>(counters.size()));
  block.Put(block.object + 40, static_cast<uint32_t>(instances.size()));
  const size_t counterBlockLength = 8 + 8 * counters.size();
  for (size_t i = 0; i < counters.size(); ++i) {
    const size_t definition = kBlockHeader + kObjectHeader + 40 * i;
    block.Put(definition, 40);
    block.Put(definition + 4, counters[i]);
    block.Put(definition + 36, static_cast<uint32_t>(8 + 8 * i));
  }
  block.firstInstance = b.size();
  for (const PerfInstance& instance : instances) {
    const std::u16string name(instance.name.begin(), instance.name.end());
    const size_t nameBytes = ((name.size() + 1) * 2 + 7) / 8 * 8;
    const size_t at = b.size();
    b.resize(at + 24 + nameBytes + counterBlockLength, 0);
    block.Put(at, static_cast<uint32_t>(24 + nameBytes));
    block.Put(at + 16, 24);
    block.Put(at + 20, static_cast<uint32_t>((name.size() + 1) * 2));
    std::memcpy(&b[at + 24], name.c_str(), name.size() * 2);
    const size_t counterBlock = at + 24 + nameBytes;
    block.Put(counterBlock, static_cast<uint32_t>(counterBlockLength));
    for (size_t i = 0; i < counters.size(); ++i) {
      block.Put(counterBlock + 8 + 8 * i, counters[i] == kIdProcess ? instance.pid : kSentinel);
    }
    block.instanceAt.push_back(at);
    block.counterBlockAt.push_back(counterBlock);
    block.instanceEnd.push_back(b.size());
  }
  block.Put(block.object, static_cast<uint32_t>(b.size() - block.object));
  return block;
}

std::vector<PerfInstance> Numbered(size_t count) {
  std::vector<PerfInstance> instances;
  for (size_t i = 0; i < count; ++i) {
    instances.push_back({"p" + std::to_string(i), static_cast<DWORD>(1000 + i)});
  }
  return instances;
}

struct Parsed {
  size_t filled = 0;
  Listed entries;  // the filled entries: id and name
};

// Parses from a heap copy of exactly the given bytes, so that a read past them is a read past
// the allocation; checks that nothing beyond the filled entries was written.
Parsed Parse(const Bytes& bytes, DWORD counter = kIdProcess,
             size_t capacity = kPerfProcessTableSize) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + 1]);
  if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
  std::vector<PerfProcessEntry> table(capacity + 1);
  std::memset(table.data(), kSentinelByte, table.size() * sizeof(PerfProcessEntry));
  Parsed parsed;
  parsed.filled = ParsePerfProcessBlock(copy.get(), bytes.size(), counter, table.data(), capacity);
  EXPECT_LE(parsed.filled, capacity);
  for (size_t i = 0; i < table.size(); ++i) {
    if (i < parsed.filled) {
      EXPECT_NE(std::memchr(table[i].name, '\0', sizeof table[i].name), nullptr);
      parsed.entries.emplace_back(table[i].processId, table[i].name);
    } else {
      EXPECT_EQ(table[i].processId, kSentinel) << "entry " << i << " written";
    }
  }
  return parsed;
}

// ---------------------------------------------------------------------------------------------
// Toolhelp

class KillToolhelp : public ProcessTest {
 protected:
  void SetUp() override { m.SetVersion(WindowsVersion::Win98); }
  sim::Process& Add(DWORD pid, const std::string& toolhelpName) {
    sim::Process& process = m.AddProcess(pid, toolhelpName);
    process.toolhelpName = toolhelpName;
    return process;
  }
};

TEST_F(KillToolhelp, MatchesTheFileNameWithoutFolderOrCase) {
  sim::Process& longer = Add(5, "C:\\OTHER\\xx.exe");
  sim::Process& bare = Add(6, "x.ex");
  sim::Process& target = Add(7, "C:\\OTHER\\x.exe");
  sim::Process& nameOnly = Add(8, "VIRUS.EXE");
  EXPECT_EQ(KillByNameToolhelp("C:\\WINDOWS\\TEMP\\X.EXE"), 1);
  EXPECT_FALSE(target.running);
  EXPECT_EQ(target.exitCode, 0u);
  EXPECT_EQ(longer.terminateCalls + bare.terminateCalls, 0);
  EXPECT_EQ(KillByNameToolhelp("virus.exe"), 1);
  EXPECT_FALSE(nameOnly.running);
}

TEST_F(KillToolhelp, OnlyTheFirstMatchIsTerminated) {
  sim::Process& first = Add(7, "C:\\A\\x.exe");
  sim::Process& second = Add(8, "C:\\B\\X.EXE");
  EXPECT_EQ(KillByNameToolhelp("C:\\X.EXE"), 1);
  EXPECT_FALSE(first.running);
  EXPECT_TRUE(second.running);
  EXPECT_EQ(second.terminateCalls, 0);
}

TEST_F(KillToolhelp, PausesAroundEveryStep) {
  Add(1, "C:\\a.exe");
  Add(2, "C:\\b.exe");
  Add(3, "C:\\x.exe");
  EXPECT_EQ(KillByNameToolhelp("C:\\x.exe"), 1);
  EXPECT_EQ(m.sleeps, (Sleeps{100, 100, 100, 100, 100, 100, 50, 500}));

  m.sleeps.clear();
  EXPECT_EQ(KillByNameToolhelp("C:\\a.exe"), 1);
  EXPECT_EQ(m.sleeps, (Sleeps{100, 100, 50, 500}));

  // No match: the failed fetch at the end has no pause after it.
  m.sleeps.clear();
  EXPECT_EQ(KillByNameToolhelp("C:\\none.exe"), 0);
  EXPECT_EQ(m.sleeps, (Sleeps{100, 100, 100}));
}

TEST_F(KillToolhelp, AFailedTerminationIsReportedAfterTheSamePauses) {
  sim::Process& refuses = Add(1, "C:\\x.exe");
  refuses.refusesTermination = true;
  sim::Process& denied = Add(2, "C:\\y.exe");
  denied.openDenied = true;
  EXPECT_EQ(KillByNameToolhelp("C:\\x.exe"), 0);
  EXPECT_EQ(refuses.terminateCalls, 1);
  EXPECT_EQ(m.sleeps, (Sleeps{100, 100, 50, 500}));
  m.sleeps.clear();
  EXPECT_EQ(KillByNameToolhelp("C:\\y.exe"), 0);
  EXPECT_EQ(denied.terminateCalls, 0);
  EXPECT_EQ(m.sleeps, (Sleeps{100, 100, 100, 100, 50, 500}));
}

TEST_F(KillToolhelp, MissingPiecesTerminateNothing) {
  sim::Process& target = Add(1, "C:\\a.exe");
  Add(2, "C:\\x.exe");
  m.missingLibraries.insert("kernel32");
  EXPECT_EQ(KillByNameToolhelp("C:\\x.exe"), 0);
  m.missingLibraries.clear();
  for (const char* entry : {"CreateToolhelp32Snapshot", "Process32First", "Process32Next"}) {
    m.missingEntryPoints = {entry};
    EXPECT_EQ(KillByNameToolhelp("C:\\x.exe"), 0) << entry;
  }
  m.missingEntryPoints.clear();
  m.snapshotFails = true;
  EXPECT_EQ(KillByNameToolhelp("C:\\x.exe"), 0);
  EXPECT_EQ(target.terminateCalls + m.processes[1].terminateCalls, 0);

  // Process32Next is looked up only to go past the first entry.
  m.snapshotFails = false;
  m.missingEntryPoints = {"Process32Next"};
  EXPECT_EQ(KillByNameToolhelp("C:\\a.exe"), 1);
}

TEST_F(KillToolhelp, AnEmptySnapshotTerminatesNothing) {
  EXPECT_EQ(KillByNameToolhelp("C:\\x.exe"), 0);
  // The zeroed entry left by the failed first call is not compared, even with an empty name.
  m.sleeps.clear();
  EXPECT_EQ(KillByNameToolhelp("C:\\DIR\\"), 0);
  EXPECT_EQ(m.sleeps, (Sleeps{100, 100}));
}

class ProcessListToolhelp : public KillToolhelp {};

TEST_F(ProcessListToolhelp, ListsEverySnapshotEntryInOrderWithoutPausing) {
  Add(8, "C:\\WINDOWS\\EXPLORER.EXE");
  Add(3, "C:\\PROGRAM FILES\\A\\a.exe");
  m.AddProcess(5, "C:\\stopped.exe").running = false;
  EXPECT_EQ(Flatten(ListProcessesToolhelp()),
            (Listed{{8, "C:\\WINDOWS\\EXPLORER.EXE"}, {3, "C:\\PROGRAM FILES\\A\\a.exe"}}));
  EXPECT_TRUE(m.sleeps.empty());
}

TEST_F(ProcessListToolhelp, AnyFailureGivesNoList) {
  EXPECT_EQ(ListProcessesToolhelp(), nullptr);  // nothing running: the first entry fails
  Add(8, "C:\\a.exe");
  Add(9, "C:\\b.exe");
  m.missingEntryPoints = {"Process32Next"};  // a list cut short is no list
  EXPECT_EQ(ListProcessesToolhelp(), nullptr);
  m.missingEntryPoints = {"CreateToolhelp32Snapshot"};
  EXPECT_EQ(ListProcessesToolhelp(), nullptr);
  m.missingEntryPoints.clear();
  m.snapshotFails = true;
  EXPECT_EQ(ListProcessesToolhelp(), nullptr);
  m.snapshotFails = false;
  m.missingLibraries.insert("Kernel32.dll");
  EXPECT_EQ(ListProcessesToolhelp(), nullptr);
}

// ---------------------------------------------------------------------------------------------
// psapi

class KillPsapi : public ProcessTest {
 protected:
  void SetUp() override { m.SetVersion(WindowsVersion::WinXP); }
};

TEST_F(KillPsapi, MatchesTheWholePathWithoutRegardToCase) {
  sim::Process& target = m.AddProcess(10, "C:\\WINDOWS\\vir.exe");
  sim::Process& longer = m.AddProcess(11, "C:\\WINDOWS\\vir.exe.bak");
  sim::Process& shorter = m.AddProcess(12, "C:\\WINDOWS\\vir.ex");
  sim::Process& elsewhere = m.AddProcess(13, "D:\\WINDOWS\\vir.exe");
  EXPECT_TRUE(KillByPathPsapi("c:\\windows\\VIR.EXE"));
  EXPECT_FALSE(target.running);
  EXPECT_EQ(target.exitCode, 0u);
  EXPECT_EQ(longer.terminateCalls + shorter.terminateCalls + elsewhere.terminateCalls, 0);
  EXPECT_EQ(m.sleeps, (Sleeps{500}));
}

TEST_F(KillPsapi, EveryMatchIsTerminated) {
  sim::Process& a = m.AddProcess(10, "C:\\vir.exe");
  m.AddProcess(11, "C:\\clean.exe");
  sim::Process& b = m.AddProcess(12, "C:\\VIR.EXE");
  EXPECT_TRUE(KillByPathPsapi("C:\\vir.exe"));
  EXPECT_FALSE(a.running);
  EXPECT_FALSE(b.running);
  EXPECT_EQ(m.sleeps, (Sleeps{500, 500}));
}

TEST_F(KillPsapi, NativeModulePathsNeverMatchADrivePath) {
  m.AddProcess(10, "C:\\WINDOWS\\system32\\vir.exe").moduleName = "\\SystemRoot\\System32\\vir.exe";
  m.AddProcess(11, "C:\\WINDOWS\\vir.exe").moduleName = "\\??\\C:\\WINDOWS\\vir.exe";
  EXPECT_TRUE(KillByPathPsapi("C:\\WINDOWS\\system32\\vir.exe"));
  EXPECT_TRUE(KillByPathPsapi("C:\\WINDOWS\\vir.exe"));
  EXPECT_EQ(m.processes[0].terminateCalls + m.processes[1].terminateCalls, 0);
}

TEST_F(KillPsapi, TrueWheneverTheListCouldBeHad) {
  sim::Process& refuses = m.AddProcess(10, "C:\\vir.exe");
  refuses.refusesTermination = true;
  // Only the module read is tried: no privilege is enabled for a denied process.
  sim::Process& denied = m.AddProcess(11, "C:\\vir.exe");
  denied.openDenied = true;
  denied.openWithDebugPrivilege = true;
  EXPECT_TRUE(KillByPathPsapi("C:\\vir.exe"));
  EXPECT_TRUE(KillByPathPsapi("C:\\none.exe"));
  EXPECT_EQ(refuses.terminateCalls, 1);
  EXPECT_EQ(denied.terminateCalls, 0);
  EXPECT_EQ(m.tokenOpens, 0);
  EXPECT_TRUE(m.sleeps.empty());
}

TEST_F(KillPsapi, FalseWithoutTheListOrItsEntryPoints) {
  sim::Process& target = m.AddProcess(10, "C:\\vir.exe");
  m.missingLibraries.insert("psapi");
  EXPECT_FALSE(KillByPathPsapi("C:\\vir.exe"));
  m.missingLibraries.clear();
  for (const char* entry : {"EnumProcesses", "GetModuleFileNameExA"}) {
    m.missingEntryPoints = {entry};
    EXPECT_FALSE(KillByPathPsapi("C:\\vir.exe")) << entry;
  }
  EXPECT_EQ(target.terminateCalls, 0);
  m.missingEntryPoints.clear();
  target.running = false;  // no process at all
  EXPECT_FALSE(KillByPathPsapi("C:\\vir.exe"));
}

TEST_F(KillPsapi, OnlyTheFirst1024ProcessesAreSeen) {
  for (DWORD i = 0; i < 1030; ++i) m.AddProcess(4 * (i + 1), "C:\\p.exe");
  m.processes[1023].image = "C:\\last.exe";
  m.processes[1024].image = "C:\\beyond.exe";
  EXPECT_TRUE(KillByPathPsapi("C:\\beyond.exe"));
  EXPECT_TRUE(KillByPathPsapi("C:\\last.exe"));
  EXPECT_FALSE(m.processes[1023].running);
  EXPECT_EQ(m.processes[1024].terminateCalls, 0);
}

class ProcessListPsapi : public KillPsapi {};

TEST_F(ProcessListPsapi, ListsReadableModulesInOrder) {
  m.AddProcess(8, "C:\\WINDOWS\\explorer.exe");
  m.AddProcess(4, "C:\\WINDOWS\\system32\\smss.exe").moduleName = "\\SystemRoot\\smss.exe";
  m.AddProcess(12, "C:\\locked.exe").openDenied = true;
  m.AddProcess(16, "C:\\a.exe");
  EXPECT_EQ(
      Flatten(ListProcessesPsapi()),
      (Listed{{8, "C:\\WINDOWS\\explorer.exe"}, {4, "\\SystemRoot\\smss.exe"}, {16, "C:\\a.exe"}}));
  // The denied process asked for the debug privilege once, with no box.
  EXPECT_EQ(m.tokenOpens, 1);
  EXPECT_TRUE(m.messageBoxes.empty());
}

TEST_F(ProcessListPsapi, AccessDeniedEnablesTheDebugPrivilegeAndOpensAgain) {
  m.AddProcess(8, "C:\\a.exe");
  sim::Process& service = m.AddProcess(12, "C:\\WINDOWS\\svc.exe");
  service.openDenied = true;
  service.openWithDebugPrivilege = true;
  EXPECT_EQ(Flatten(ListProcessesPsapi()),
            (Listed{{8, "C:\\a.exe"}, {12, "C:\\WINDOWS\\svc.exe"}}));
  EXPECT_EQ(m.enabledPrivileges.count("SeDebugPrivilege"), 1u);
}

TEST_F(ProcessListPsapi, ATokenThatCannotBeOpenedIsShownForEachDeniedProcess) {
  m.tokenOpenFails = true;
  m.AddProcess(8, "C:\\a.exe");
  for (DWORD pid : {12u, 16u}) {
    sim::Process& p = m.AddProcess(pid, "C:\\svc.exe");
    p.openDenied = true;
    p.openWithDebugPrivilege = true;
  }
  EXPECT_EQ(Flatten(ListProcessesPsapi()), (Listed{{8, "C:\\a.exe"}}));
  ASSERT_EQ(m.messageBoxes.size(), 2u);
  EXPECT_EQ(m.messageBoxes[0].owner, nullptr);
  EXPECT_EQ(m.messageBoxes[0].text, "false");
  EXPECT_EQ(m.messageBoxes[0].caption, "TEMP");
  EXPECT_EQ(m.messageBoxes[0].flags, 0u);
}

TEST_F(ProcessListPsapi, NoListWithoutPsapiOrProcesses) {
  EXPECT_EQ(ListProcessesPsapi(), nullptr);
  m.AddProcess(8, "C:\\a.exe");
  m.missingLibraries.insert("psapi.dll");
  EXPECT_EQ(ListProcessesPsapi(), nullptr);
  m.missingLibraries.clear();
  for (const char* entry : {"EnumProcesses", "GetModuleFileNameExA"}) {
    m.missingEntryPoints = {entry};
    EXPECT_EQ(ListProcessesPsapi(), nullptr) << entry;
  }
}

TEST_F(ProcessListPsapi, OnlyTheFirst1024ProcessesAreListed) {
  for (DWORD i = 0; i < 1030; ++i) m.AddProcess(4 * (i + 1), "C:\\p" + std::to_string(i) + ".exe");
  const Listed listed = Flatten(ListProcessesPsapi());
  ASSERT_EQ(listed.size(), 1024u);
  EXPECT_EQ(listed.back(), (std::pair<DWORD, std::string>{4096, "C:\\p1023.exe"}));
}

// ---------------------------------------------------------------------------------------------
// Performance data: reading a block

class PerfProcessBlock : public ProcessTest {};

TEST_F(PerfProcessBlock, ReadsNamesAndIdsFromTheIdProcessCounter) {
  const PerfBlock block = BuildBlock({{"Idle", 0}, {"System", 4}, {"notepad", 1234}});
  EXPECT_EQ(Parse(block.bytes).entries,
            (Listed{{0xFFFFFFFE, "Idle"}, {4, "System"}, {1234, "notepad"}}));
  // The counter is found wherever it stands among the definitions.
  const PerfBlock reordered = BuildBlock({{"a", 9}}, {kIdProcess, kProcessorTime, 1410});
  EXPECT_EQ(Parse(reordered.bytes).entries, (Listed{{9, "a"}}));
}

TEST_F(PerfProcessBlock, NoIdProcessCounterFillsNothing) {
  const PerfBlock block = BuildBlock({{"a", 9}}, {kProcessorTime, 1410});
  EXPECT_EQ(Parse(block.bytes).filled, 0u);
  EXPECT_EQ(Parse(BuildBlock({{"a", 9}}).bytes, 0).filled, 0u);
}

TEST_F(PerfProcessBlock, NamesLongerThan16CharactersAreLeftEmpty) {
  const PerfBlock block = BuildBlock({{"abcdefghijklmnop", 1}, {"abcdefghijklmnopq", 2}});
  EXPECT_EQ(Parse(block.bytes).entries, (Listed{{1, "abcdefghijklmnop"}, {2, ""}}));
}

TEST_F(PerfProcessBlock, AnUnconvertibleNameIsUnknown) {
  const PerfBlock tooLong = BuildBlock({{std::string(260, 'n'), 1}, {"b", 2}});
  EXPECT_EQ(Parse(tooLong.bytes).entries, (Listed{{1, "unknown"}, {2, "b"}}));
  m.wideConversionFails = true;
  EXPECT_EQ(Parse(BuildBlock({{"a", 1}}).bytes).entries, (Listed{{1, "unknown"}}));
}

TEST_F(PerfProcessBlock, AtMost254InstancesAndNeverTheTablesLastEntry) {
  const PerfBlock block = BuildBlock(Numbered(300));
  const Parsed parsed = Parse(block.bytes);
  ASSERT_EQ(parsed.filled, 254u);
  EXPECT_EQ(parsed.entries.back(), (std::pair<DWORD, std::string>{1253, "p253"}));
  EXPECT_EQ(Parse(block.bytes, kIdProcess, 300).filled, 254u);
  EXPECT_EQ(Parse(block.bytes, kIdProcess, 10).filled, 9u);
  EXPECT_EQ(Parse(block.bytes, kIdProcess, 1).filled, 0u);
  EXPECT_EQ(Parse(block.bytes, kIdProcess, 0).filled, 0u);
}

TEST_F(PerfProcessBlock, ANegativeCountReadsAsTheLimit) {
  PerfBlock many = BuildBlock(Numbered(300));
  many.Put(many.object + 40, 0xFFFFFFFF);
  EXPECT_EQ(Parse(many.bytes).filled, 254u);
  // With fewer instances the walk ends at the block's end.
  PerfBlock few = BuildBlock(Numbered(3));
  few.Put(few.object + 40, 0x80000000);
  EXPECT_EQ(Parse(few.bytes).filled, 3u);
}

TEST_F(PerfProcessBlock, ACutBlockFillsOnlyTheInstancesItHoldsWhole) {
  const PerfBlock block = BuildBlock({{"first", 1}, {"second", 2}, {"third", 3}});
  const Listed all = Parse(block.bytes).entries;
  for (size_t length = 0; length <= block.bytes.size(); ++length) {
    const Bytes cut(block.bytes.begin(), block.bytes.begin() + length);
    size_t whole = 0;
    if (length >= block.firstInstance) {
      while (whole < 3 && block.instanceEnd[whole] <= length) ++whole;
    }
    EXPECT_EQ(Parse(cut).entries, Listed(all.begin(), all.begin() + whole)) << length;
  }
}

TEST_F(PerfProcessBlock, OffsetsPastTheEndStopTheWalk) {
  const PerfBlock good = BuildBlock({{"first", 1}, {"second", 2}, {"third", 3}});
  struct Case {
    const char* what;
    size_t position;
    uint32_t value;
    size_t filled;
  };
  const size_t second = good.instanceAt[1];
  const size_t definitions = good.object + kObjectHeader;
  const Case cases[] = {
      {"header length", 24, 0xFFFFFFF0, 0},
      {"header length at the end", 24, static_cast<uint32_t>(good.bytes.size()), 0},
      {"definition length", good.object + 4, 0xFFFFFFFF, 0},
      {"object header length", good.object + 8, 0x7FFFFFFF, 0},
      {"counter count", good.object + 32, 0xFFFFFFFF, 3},
      {"counter count too small", good.object + 32, 1, 0},
      {"counter offset", definitions + 40 + 36, 0xFFFFFFFC, 0},
      {"counter offset past its block", definitions + 40 + 36, 24, 0},
      {"instance length", second, 0xFFFFFFF8, 1},
      {"instance length zero", second, 0, 1},
      {"instance length too small", second, 4, 1},
      {"name offset", second + 16, 0xFFFFFFFE, 1},
      {"name offset at the end", second + 16, static_cast<uint32_t>(good.bytes.size() - second), 1},
      {"counter block length", good.counterBlockAt[1], 0xFFFFFFFC, 1},
      {"counter block length zero", good.counterBlockAt[1], 0, 1},
  };
  for (const Case& c : cases) {
    PerfBlock block = good;
    block.Put(c.position, c.value);
    EXPECT_EQ(Parse(block.bytes).filled, c.filled) << c.what;
  }
}

TEST_F(PerfProcessBlock, ANameRunningOffTheBlockStopsTheWalk) {
  PerfBlock block = BuildBlock({{"first", 1}, {"second", 2}});
  const size_t tail = block.bytes.size();
  block.bytes.insert(block.bytes.end(), {'A', 0, 'B', 0, 'C', 0});
  block.Put(block.instanceAt[1] + 16, static_cast<uint32_t>(tail - block.instanceAt[1]));
  EXPECT_EQ(Parse(block.bytes).entries, (Listed{{1, "first"}}));
}

// ---------------------------------------------------------------------------------------------
// Performance data: termination by name

class KillPerfData : public ProcessTest {
 protected:
  void SetUp() override {
    m.SetVersion(WindowsVersion::NT4);
    m.registry.SetMultiString(HKEY_LOCAL_MACHINE, kPerflib009, "Counters",
                              {"1", "1847", "2", "System", "230", "Process", "6",
                               "% Processor Time", "784", "ID Process", "1410", "Thread"});
  }
  // The processes run, and performance data lists them under these names.
  void Serve(const std::vector<PerfInstance>& instances, const std::string& valueName = "230") {
    for (const PerfInstance& instance : instances) {
      if (m.FindProcess(instance.pid) == nullptr) {
        m.AddProcess(instance.pid, "C:\\WINNT\\" + instance.name + ".exe");
      }
    }
    m.performanceData[valueName] = BuildBlock(instances).bytes;
  }
  bool Running(DWORD pid) { return m.FindProcess(pid)->running; }
};

TEST_F(KillPerfData, EveryInstanceBeginningWithTheBaseNameIsTerminated) {
  Serve({{"System", 8}, {"note", 10}, {"wordpad", 11}, {"NOTEPAD", 12}, {"not", 13}});
  EXPECT_EQ(KillByNamePerfData("C:\\WINNT\\note.exe"), 1);
  EXPECT_FALSE(Running(10));
  EXPECT_FALSE(Running(12));
  EXPECT_EQ(m.FindProcess(10)->exitCode, 0u);
  EXPECT_TRUE(Running(8));
  EXPECT_TRUE(Running(11));
  EXPECT_TRUE(Running(13));
  EXPECT_EQ(m.sleeps, (Sleeps{500, 500}));
  EXPECT_EQ(m.performanceQueries, 1);
}

TEST_F(KillPerfData, EachMatchPausesEvenWhenItCannotBeTerminated) {
  Serve({{"vir", 10}, {"vir", 11}, {"virus", 12}});
  m.FindProcess(10)->openDenied = true;
  m.FindProcess(11)->refusesTermination = true;
  EXPECT_EQ(KillByNamePerfData("VIR.EXE"), 1);
  EXPECT_EQ(m.sleeps, (Sleeps{500, 500, 500}));
  EXPECT_FALSE(Running(12));

  m.FindProcess(12)->running = true;
  m.FindProcess(12)->refusesTermination = true;
  EXPECT_EQ(KillByNamePerfData("VIR.EXE"), 0);
}

TEST_F(KillPerfData, AShortPathTouchesNothing) {
  Serve({{"a", 10}});
  EXPECT_EQ(KillByNamePerfData("a.ex"), 0);
  EXPECT_EQ(KillByNamePerfData(""), 0);
  EXPECT_EQ(m.performanceQueries, 0);
  EXPECT_TRUE(m.sleeps.empty());
  EXPECT_EQ(KillByNamePerfData("a.exe"), 1);
}

TEST_F(KillPerfData, AnEmptyBaseNameTerminatesNothing) {
  Serve({{"a", 10}, {"b", 11}});
  EXPECT_EQ(KillByNamePerfData("C:\\WINNT\\.EXE"), 0);
  EXPECT_EQ(KillByNamePerfData("\\.exe"), 0);
  EXPECT_TRUE(Running(10));
  EXPECT_TRUE(Running(11));
  EXPECT_TRUE(m.sleeps.empty());
}

TEST_F(KillPerfData, AGrowingBlockIsReadWhole) {
  std::vector<PerfInstance> instances = Numbered(250);
  instances.push_back({"vir", 77});
  Serve(instances);
  // Padding after the object: three growth steps before it fits.
  m.performanceData["230"].resize(51200 + 2 * 25600 + 1000);
  EXPECT_EQ(KillByNamePerfData("C:\\vir.exe"), 1);
  EXPECT_FALSE(Running(77));
  EXPECT_EQ(m.performanceQueries, 4);
}

TEST_F(KillPerfData, ABlockThatNeverFitsIsGivenUp) {
  Serve({{"vir", 77}});
  m.performanceData["230"].resize(33u * 1024 * 1024);
  EXPECT_EQ(KillByNamePerfData("C:\\vir.exe"), 0);
  EXPECT_TRUE(Running(77));
  EXPECT_LT(m.performanceQueries, 1400);
}

TEST_F(KillPerfData, ABlockWithoutTheSignatureIsIgnored) {
  Serve({{"vir", 77}});
  m.performanceData["230"][0] = 'p';
  EXPECT_EQ(KillByNamePerfData("C:\\vir.exe"), 0);
  m.performanceData["230"].clear();
  EXPECT_EQ(KillByNamePerfData("C:\\vir.exe"), 0);
  m.performanceData["230"] = {'P', 0, 'E', 0, 'R'};
  EXPECT_EQ(KillByNamePerfData("C:\\vir.exe"), 0);
  EXPECT_TRUE(Running(77));
}

// The perflib counter names, each test setting its own.
class KillPerfDataCounters : public ProcessTest {
 protected:
  void SetUp() override {
    m.SetVersion(WindowsVersion::NT4);
    m.AddProcess(77, "C:\\vir.exe");
    m.performanceData["230"] = BuildBlock({{"vir", 77}}).bytes;
  }
  void Counters(const std::vector<std::string>& strings) {
    m.registry.SetMultiString(HKEY_LOCAL_MACHINE, kPerflib009, "Counters", strings);
  }
};

TEST_F(KillPerfDataCounters, WithoutThePerflibKeyNothingIsAsked) {
  EXPECT_EQ(KillByNamePerfData("C:\\vir.exe"), 0);
  EXPECT_EQ(m.performanceQueries, 0);
  EXPECT_TRUE(m.FindProcess(77)->running);
}

TEST_F(KillPerfDataCounters, WithoutProcessOrIdProcessNothingIsFilled) {
  Counters({"784", "ID Process"});  // the key path is asked for: no such performance value
  EXPECT_EQ(KillByNamePerfData("C:\\vir.exe"), 0);
  Counters({"230", "Process", "6", "% Processor Time"});
  EXPECT_EQ(KillByNamePerfData("C:\\vir.exe"), 0);
  EXPECT_EQ(m.performanceQueries, 2);
  EXPECT_TRUE(m.FindProcess(77)->running);
}

TEST_F(KillPerfDataCounters, TheLastProcessNameWinsWhateverItsCase) {
  m.performanceData["9999"] = m.performanceData["230"];
  m.performanceData["230"][0] = 'p';  // asked for "230", nothing would be found
  Counters({"230", "Process", "784", "ID Process", "9999", "PROCESS"});
  EXPECT_EQ(KillByNamePerfData("C:\\vir.exe"), 1);
  EXPECT_FALSE(m.FindProcess(77)->running);
}

TEST_F(KillPerfDataCounters, ANameAfterNoIndexAsksForAnEmptyValueName) {
  m.performanceData[""] = m.performanceData["230"];
  m.performanceData.erase("230");
  Counters({"784", "ID Process", "x", "process"});
  EXPECT_EQ(KillByNamePerfData("C:\\vir.exe"), 1);
}

}  // namespace
