// The registry operations of the Windows platform, through advapi32 loaded
// on first use. Private to the Windows files.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace updater::win {

// The platform's registry operations, as Platform describes them.
std::int32_t RegOpenKeyExA(RegistryKey root, const std::string& subKey, std::uint32_t options,
                           std::uint32_t access, RegistryKey* key);
std::int32_t RegQueryValueExA(RegistryKey key, const std::string& name, std::uint32_t* type,
                              unsigned char* data, std::uint32_t* size);
std::int32_t RegQueryTextW(RegistryKey key, const std::wstring& name, std::wstring* text);
std::int32_t RegCloseKey(RegistryKey key);

}  // namespace updater::win
