// The run-time library's ASCII string helpers, the same on every build: only the letters A to Z
// change case, as msvcrt does in its default locale.
#include "platform/base.h"

namespace plat {
namespace {

inline unsigned char Lower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

inline unsigned char Upper(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

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
