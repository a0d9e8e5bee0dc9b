#include "cleanup/service_keys.h"

#include <cstddef>
#include <cstdio>

#include "platform/registry.h"

namespace {

// Room for the longest prefix and suffix around a service name of the registry's 255-character
// limit for a key name.
constexpr size_t kKeyPathSize = 512;

struct KeyStep {
  const char* prefix;
  const char* suffix;
};

// Subkeys go before their service key: on the NT family a key with subkeys cannot be deleted.
// Key names compare without regard to case, so the upper-case prefix addresses the same key.
constexpr KeyStep kSteps[] = {
    {"SYSTEM\\ControlSet001\\Services\\", "\\Enum"},
    {"SYSTEM\\ControlSet001\\Services\\", "\\Security"},
    {"SYSTEM\\ControlSet001\\Services\\", ""},
    {"SYSTEM\\CONTROLSET002\\SERVICES\\", "\\Enum"},
    {"SYSTEM\\ControlSet002\\Services\\", "\\Security"},
    {"SYSTEM\\ControlSet002\\Services\\", ""},
};

}  // namespace

bool RemoveServiceKeys(const char* name) {
  // Without a name the last step of each set would address the services key itself.
  if (name == nullptr || name[0] == '\0') return false;
  bool removed = false;
  char path[kKeyPathSize];
  for (const KeyStep& step : kSteps) {
    const int length = std::snprintf(path, sizeof path, "%s%s%s", step.prefix, name, step.suffix);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) continue;
    if (plat::RegDeleteKeyA(HKEY_LOCAL_MACHINE, path) == ERROR_SUCCESS) removed = true;
  }
  return removed;
}
