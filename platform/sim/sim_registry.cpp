// STUB: replaced by the registry of the simulated machine.
#include "platform/sim/sim_internal.h"
namespace sim {
Registry::Registry() {}
Registry::~Registry() {}
void Registry::SetValue(HKEY, const std::string&, const std::string&, DWORD, const std::vector<uint8_t>&) {}
}  // namespace sim
namespace plat {
LONG RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) { return ERROR_FILE_NOT_FOUND; }
}
namespace sim {
std::optional<std::vector<uint8_t>> Registry::GetValue(HKEY, const std::string&, const std::string&) const { return std::nullopt; }
}
namespace plat {
LONG RegCreateKeyExA(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY r, LPDWORD) { *r = nullptr; return ERROR_SUCCESS; }
LONG RegCloseKey(HKEY) { return ERROR_SUCCESS; }
}
