// What the fuzz targets share: a scratch folder of the process's own behind drive C: of a
// fresh simulated machine, plain host file access to put inputs there and read results back,
// and the one way to report a broken invariant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Replaces the simulated machine by a new one whose drive C: is an empty folder of this
// process (made on first use, removed at exit); returns that folder's host path.
std::string FreshMachine();

// The host path of a Windows path on C: ("C:\WINDOWS\x" -> "<folder>/WINDOWS/x"), the folders
// above it created.
std::string HostPath(const std::string& windowsPath);

void WriteHostFile(const std::string& hostPath, const uint8_t* data, size_t size);
void WriteHostFile(const std::string& hostPath, const std::string& bytes);
// False when the file does not exist.
bool ReadHostFile(const std::string& hostPath, std::string* bytes);

// A fresh machine holding the input at this Windows path, and the scan state at its start values
// set for a report-only check outside the memory sweep. Returns the handles open now, which the
// target expects to find again afterwards.
size_t PrepareReportOnlyCheck(const char* windowsPath, const uint8_t* data, size_t size);

// Prints what went wrong and stops the process so that libFuzzer keeps the input.
[[noreturn]] void Violation(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Text shown in a violation report: printable bytes as they are, the others as \xNN.
std::string Printable(const std::string& bytes, size_t limit = 400);

}  // namespace fuzz
