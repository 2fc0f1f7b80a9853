// HKEY_CURRENT_USER on POSIX, read from a .reg export: the keys the
// platform opens and the values it reads from them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

#include "platform/platform.h"
#include "platform/reg_file.h"

namespace updater {
namespace posix {

// A .reg export larger than this is not a product's registry data.
constexpr off_t kMaxRegFileBytes = 16 * 1024 * 1024;

// The registry operations of Platform, with the meaning platform.h gives
// them, on the export that $HKCU_FILE names (else hkcu.reg in the user's
// configuration folder). Each open key is a copy of the key as the export
// held it at the opening.
class Registry {
 public:
  std::int32_t RegOpenKeyExA(RegistryKey root, const std::string& subKey, std::uint32_t options,
                             std::uint32_t access, RegistryKey* key);
  std::int32_t RegQueryValueExA(RegistryKey key, const std::string& name, std::uint32_t* type,
                                unsigned char* data, std::uint32_t* size);
  std::int32_t RegQueryTextW(RegistryKey key, const std::wstring& name, std::wstring* text);
  std::int32_t RegCloseKey(RegistryKey key);

 private:
  std::map<RegistryKey, RegFileKey> open_;
  RegistryKey nextHandle_ = 0x100;
};

}  // namespace posix
}  // namespace updater
