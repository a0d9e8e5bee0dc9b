// Adding a boot-time rename to an existing wininit.ini on the 9x family. The input is the old
// file; AddWininitRename("NUL", "C:\X~1\Y.EXE") runs on a simulated Windows 98 machine.
//
// What "every old line" means: the program reads the old file in text mode, so its text is
// the old bytes up to the first Ctrl-Z (0x1A; the rest is not part of the file's text, and the
// system's own reading stops there as well), with every "\r\n" delivered as "\n" (a lone "\r"
// stays). The lines are that text cut after each "\n"; the last one may have no break. Every
// other byte, zero bytes included, belongs to its line.
//
// When the call returns true the new file must be exactly those lines, in order and byte for
// byte, with the one entry "NUL=C:\X~1\Y.EXE\r\n" added where it takes effect:
//   - before the first line starting with "[" that follows the first line starting with
//     "[rename]" (in any letter case), when there is such a line;
//   - else at the end: after one "\r\n" when the last line has no break, and after a
//     "[rename]\r\n" header when no line starts with "[rename]".
// When it returns false the old file must be as it was, and no half-written new file left.
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/disinfection.h"
#include "engine/scan_state.h"
#include "fuzz/fuzz_support.h"
#include "platform/files.h"
#include "tests/double/sim_machine.h"

namespace {

constexpr char kEntry[] = "NUL=C:\\X~1\\Y.EXE\r\n";

// Into a string kept from input to input, a run of bytes at a time.
void TextModeReading(std::string_view bytes, std::string* text) {
  text->clear();
  const std::string_view read = bytes.substr(0, bytes.find('\x1a'));
  size_t at = 0;
  for (size_t pair; (pair = read.find("\r\n", at)) != std::string_view::npos; at = pair + 1) {
    text->append(read.substr(at, pair - at));
  }
  text->append(read.substr(at));
}

bool StartsWithRename(const std::string& text, size_t at) {
  static const char kHeader[] = "[rename]";
  for (size_t i = 0; i < 8; ++i) {
    if (at + i >= text.size() ||
        std::tolower(static_cast<unsigned char>(text[at + i])) != kHeader[i]) {
      return false;
    }
  }
  return true;
}

// Where the entry goes in the text, and what is added just before it there.
struct Insertion {
  size_t at;
  std::string_view before;
};

Insertion WhereTheEntryGoes(const std::string& text) {
  bool inSection = false;
  for (size_t line = 0; line < text.size();) {
    if (!inSection) {
      inSection = StartsWithRename(text, line);
    } else if (text[line] == '[') {
      return {line, ""};
    }
    const size_t end = text.find('\n', line);
    line = end == std::string::npos ? text.size() : end + 1;
  }
  const bool breakFirst = !text.empty() && text.back() != '\n';
  std::string_view before = breakFirst ? "\r\n[rename]\r\n" : "[rename]\r\n";
  if (inSection) before = before.substr(0, breakFirst ? 2 : 0);
  return {text.size(), before};
}

std::string Expected(const std::string& text) {
  const Insertion insertion = WhereTheEntryGoes(text);
  return text.substr(0, insertion.at) + std::string(insertion.before) + kEntry +
         text.substr(insertion.at);
}

// Compared piece by piece: the expected file is only made to show a difference.
bool IsExpected(const std::string& now, const std::string& text) {
  const Insertion insertion = WhereTheEntryGoes(text);
  const std::string_view entry = kEntry;
  const std::string_view written = now;
  const std::string_view old = text;
  const size_t added = insertion.before.size() + entry.size();
  return written.size() == old.size() + added &&
         written.substr(0, insertion.at) == old.substr(0, insertion.at) &&
         written.substr(insertion.at, insertion.before.size()) == insertion.before &&
         written.substr(insertion.at + insertion.before.size(), entry.size()) == entry &&
         written.substr(insertion.at + added) == old.substr(insertion.at);
}

// The machine, Windows 98 with C:\WINDOWS\TEMP, is set up once and kept: the call only makes,
// changes and removes files in those folders, so an input ends by removing the files, which
// frees all it took. Making the machine anew for every input took a fifth of its time. Should
// a folder ever come or go, the machine is made anew for the next input.
constexpr size_t kMachineFolders = 3;  // C:\, C:\WINDOWS and C:\WINDOWS\TEMP
bool g_machineReady = false;

void SetUpMachine() {
  if (g_machineReady) return;
  sim::Reset();
  fuzz::FreshMachine();
  sim::machine().SetVersion(sim::WindowsVersion::Win98);
  ResetScanState();  // each input then ends by resetting it
  if (!plat::CreateDirectoryA("C:\\WINDOWS", nullptr) ||
      !plat::CreateDirectoryA("C:\\WINDOWS\\TEMP", nullptr)) {
    fuzz::Violation("the machine's folders cannot be made");
  }
  g_machineReady = true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetUpMachine();
  sim::Machine& m = sim::machine();
  constexpr char kTarget[] = "C:\\WINDOWS\\wininit.ini";
  fuzz::PutFile(kTarget, data, size);
  const std::string_view old(reinterpret_cast<const char*>(data), size);
  const size_t handlesBefore = m.OpenHandles();

  const bool added = AddWininitRename("NUL", "C:\\X~1\\Y.EXE");

  // Kept from input to input: the copies then need no fresh memory each time.
  static std::string now;
  if (!fuzz::GetFile(kTarget, &now)) fuzz::Violation("wininit.ini is gone");
  static std::string left;
  if (fuzz::GetFile("C:\\WINDOWS\\wininit.new", &left)) {
    fuzz::Violation("wininit.new was left behind");
  }
  if (added) {
    static std::string text;
    TextModeReading(old, &text);
    if (!IsExpected(now, text)) {
      fuzz::Violation(
          "the rewritten file differs\n  old:      \"%s\"\n  written:  \"%s\"\n  expected: \"%s\"",
          fuzz::Printable(std::string(old)).c_str(), fuzz::Printable(now).c_str(),
          fuzz::Printable(Expected(text)).c_str());
    }
  } else if (now != old) {
    fuzz::Violation("a failed rewrite changed the old file");
  }
  if (m.OpenHandles() != handlesBefore) fuzz::Violation("a handle was left open");
  // The findings too: kept until the next input, they would count as this input's allocations
  // without a free whenever it found more than the last.
  ResetScanState();
  if (m.RemoveMemoryFiles() != kMachineFolders) g_machineReady = false;
  return 0;
}
