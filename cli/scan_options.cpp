#include "cli/scan_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/report_output.h"
#include "engine/signatures/signature_record.h"

namespace {

// An option that takes a value, as "--move DIR" or "--move=DIR".
bool ValueOption(const char* name, int argc, char** argv, int* i, std::string* value,
                 std::string* error) {
  const size_t length = std::strlen(name);
  const char* argument = argv[*i];
  if (std::strncmp(argument, name, length) != 0) return false;
  if (argument[length] == '=') {
    *value = argument + length + 1;
  } else if (argument[length] == '\0') {
    if (*i + 1 >= argc) {
      *error = std::string(name) + " needs a value";
      value->clear();
      return true;
    }
    *value = argv[++*i];
  } else {
    return false;
  }
  if (value->empty() && error->empty()) *error = std::string(name) + " needs a value";
  return true;
}

}  // namespace

bool ParseScanOptions(int argc, char** argv, ScanOptions* options, std::string* error) {
  bool endOfOptions = false;
  std::string threads;
#if !defined(_WIN32)
  std::string image;  // each --image given, to refuse a second
#endif
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (endOfOptions || argument[0] != '-' || std::strcmp(argument, "-") == 0) {
      options->targets.push_back(argument);
    } else if (std::strcmp(argument, "--") == 0) {
      endOfOptions = true;
    } else if (std::strcmp(argument, "--trace") == 0) {
      options->trace = true;
    } else if (std::strcmp(argument, "--remove") == 0) {
      options->remove = true;
    } else if (std::strcmp(argument, "--rename") == 0) {
      options->rename = true;
    } else if (std::strcmp(argument, "--quiet") == 0 || std::strcmp(argument, "-q") == 0) {
      options->quiet = true;
    } else if (std::strcmp(argument, "--json") == 0) {
      options->json = true;
    } else if (std::strcmp(argument, "--list-signatures") == 0) {
      options->listSignatures = true;
    } else if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
      options->help = true;
    } else if (std::strcmp(argument, "--version") == 0) {
      options->version = true;
    } else if (ValueOption("--move", argc, argv, &i, &options->moveTo, error) ||
               ValueOption("--log", argc, argv, &i, &options->log, error) ||
               ValueOption("--windows-root", argc, argv, &i, &options->windowsRoot, error)) {
      if (!error->empty()) return false;
#if !defined(_WIN32)  // disk images are read on Linux only
    } else if (ValueOption("--image", argc, argv, &i, &image, error) ||
               ValueOption("--extract", argc, argv, &i, &options->extract, error)) {
      if (!error->empty()) return false;
      if (!image.empty() && !options->image.empty()) {
        *error = "one --image at a time";
        return false;
      }
      if (!image.empty()) options->image = image;
      image.clear();
#endif
    } else if (ValueOption("--threads", argc, argv, &i, &threads, error)) {
      if (!error->empty()) return false;
      char* end = nullptr;
      const long count = std::strtol(threads.c_str(), &end, 10);
      if (*end != '\0' || count < 1 || count > kMaxThreads) {
        *error = "--threads takes a number from 1 to " + std::to_string(kMaxThreads);
        return false;
      }
      options->threads = static_cast<int>(count);
    } else {
      *error = std::string("unknown option ") + argument;
      return false;
    }
  }
  const int actions =
      (options->remove ? 1 : 0) + (options->rename ? 1 : 0) + (options->moveTo.empty() ? 0 : 1);
  if (actions > 1) {
    *error = "--remove, --rename and --move exclude one another";
    return false;
  }
  return true;
}

namespace {

#if defined(_WIN32)
// Disk images are read on Linux only.
constexpr char kImageUsage[] = "";
constexpr char kImageOptions[] = "";
constexpr char kExitStatus[] =
    "Exit status: 0 nothing found, 1 something found, 2 an error (bad option, a path\n"
    "that cannot be read, a registry hive that cannot be read or written, output that\n"
    "cannot be written: the scan stops there).\n";
#else
constexpr char kImageUsage[] = "       vexpurge-scan [OPTIONS] [--extract DIR] --image FILE\n";
constexpr char kImageOptions[] =
    "  --image FILE        scan the NTFS and FAT file systems of the disk image FILE\n"
    "                      (raw, E01, VHD, VHDX, VMDK, AFF), which is only read, never\n"
    "                      changed: paths are shown as FILE:pN:\\path, N the number of\n"
    "                      the partition, and a Windows installation's start-up entries\n"
    "                      and services are checked too (one installation's: any other\n"
    "                      is named as unchecked). No action can be chosen: mount the\n"
    "                      image and use --windows-root to clean it\n"
    "  --extract DIR       with --image: copy each file found out of the image into DIR,\n"
    "                      under its own name (or NAME.1, .2, ...), with NAME.location\n"
    "                      beside it: its path in the image and the detection name\n";
constexpr char kExitStatus[] =
    "Exit status: 0 nothing found, 1 something found, 2 an error (bad option, a path\n"
    "or image that cannot be read, a registry hive that cannot be read or written,\n"
    "output that cannot be written: the scan stops there).\n";
#endif

}  // namespace

void PrintUsage(const std::string& error, bool full) {
  FILE* out = full ? stdout : stderr;
  if (!error.empty()) std::fprintf(stderr, "vexpurge-scan: %s\n", Printable(error).c_str());
  std::fprintf(out,
               "usage: vexpurge-scan [OPTIONS] PATH...\n"
               "       vexpurge-scan [OPTIONS] --windows-root DIR\n"
               "%s"
               "       vexpurge-scan --list-signatures\n",
               kImageUsage);
  if (!full) return;
  std::fprintf(
      out,
      "\nScans folders and files for every known build of W32/Tarvix.Backdoor and prints\n"
      "one line per finding, then the scanning statistics. Files are only reported\n"
      "unless an action is chosen.\n\n"
      "  --remove            delete what is found\n"
      "  --rename            rename what is found (the character after the last '.' of\n"
      "                      the name becomes 'V': setup.exe becomes setup.Vxe; a name\n"
      "                      without one gets '.V': hosts becomes hosts.V)\n"
      "  --move DIR          move what is found into the quarantine folder DIR, each under\n"
      "                      a name of its own, its original path in a .path file beside it\n"
      "  --windows-root DIR  DIR is the C: drive of a Windows installation that is not\n"
      "                      running: its whole volume is scanned, its hosts file checked,\n"
      "                      and start-up entries and services that launch a removed file\n"
      "                      are deleted from its registry hives (each changed hive is\n"
      "                      first copied to HIVE.vexpurge-backup, or .1, .2, ..., and the\n"
      "                      copy is kept; without an action only reported)\n"
      "%s"
      "  --quiet, -q         print findings only\n"
      "  --log FILE          append every printed line to FILE as well\n"
      "  --json              print JSON Lines instead: one object per finding as it is\n"
      "                      made, then a summary object with the counts and the exit\n"
      "                      status (the text lines go to the --log FILE only)\n"
      "  --threads N         read files on up to N threads, ahead of the scan, while it\n"
      "                      waits for the disk (on Linux; default 16; 1: none ahead)\n"
      "  --trace             print every status line\n"
      "  --list-signatures   print the signature table as CSV and stop\n"
      "  --help, --version\n\n"
      "A symbolic link named as a PATH stands for the file it points to. Control\n"
      "characters in names are printed as \\xHH.\n\n"
      "%s",
      kImageOptions, kExitStatus);
}

namespace {

void PrintHex(const uint8_t* bytes) {
  for (size_t i = 0; i < kProbeLength; ++i) std::printf("%02x", bytes[i]);
}

}  // namespace

void PrintSignatureTable() {
  int row = 1;
  for (const SignatureRecord* record = SignatureTable; !record->IsEnd(); ++record, ++row) {
    std::printf("%d,%s,%u,%u,%ld,", row, record->Name(), static_cast<unsigned>(record->Kind()),
                static_cast<unsigned>(record->FileSize()),
                static_cast<long>(record->FirstOffset()));
    PrintHex(record->FirstPattern());
    std::printf(",%ld,", static_cast<long>(record->SecondOffset()));
    PrintHex(record->SecondPattern());
    std::printf("\n");
  }
}
