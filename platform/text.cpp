// The run-time library's ASCII string helpers, the same on every build: only the letters A to Z
// change case, as msvcrt does in its default locale.
#include "platform/base.h"

namespace plat {
namespace {

// Every byte's lower and upper case, looked up rather than tested: the case of a whole value or
// path is changed a byte at a time, and a lookup costs no comparisons (which the fuzz build
// reports to the fuzzer one by one).
struct CaseTables {
  unsigned char lower[256];
  unsigned char upper[256];
};

constexpr CaseTables MakeCaseTables() {
  CaseTables tables{};
  for (int c = 0; c < 256; ++c) {
    tables.lower[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    tables.upper[c] = static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
  }
  return tables;
}

constexpr CaseTables kCase = MakeCaseTables();

inline unsigned char Lower(unsigned char c) { return kCase.lower[c]; }
inline unsigned char Upper(unsigned char c) { return kCase.upper[c]; }

}  // namespace

int _stricmp(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const int ca = Lower(static_cast<unsigned char>(*a));
    const int cb = Lower(static_cast<unsigned char>(*b));
    if (ca != cb || ca == 0) return ca - cb;
  }
}

int _strnicmp(const char* a, const char* b, size_t count) {
  for (; count > 0; --count, ++a, ++b) {
    const int ca = Lower(static_cast<unsigned char>(*a));
    const int cb = Lower(static_cast<unsigned char>(*b));
    if (ca != cb || ca == 0) return ca - cb;
  }
  return 0;
}

int _memicmp(const void* a, const void* b, size_t count) {
  const auto* pa = static_cast<const unsigned char*>(a);
  const auto* pb = static_cast<const unsigned char*>(b);
  for (; count > 0; --count, ++pa, ++pb) {
    const int ca = Lower(*pa);
    const int cb = Lower(*pb);
    if (ca != cb) return ca - cb;
  }
  return 0;
}

char* _strlwr(char* text) {
  for (char* p = text; *p; ++p) *p = static_cast<char>(Lower(static_cast<unsigned char>(*p)));
  return text;
}

char* _strupr(char* text) {
  for (char* p = text; *p; ++p) *p = static_cast<char>(Upper(static_cast<unsigned char>(*p)));
  return text;
}

}  // namespace plat
