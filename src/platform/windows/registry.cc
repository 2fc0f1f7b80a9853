// Reading the registry on Windows: the ANSI calls of advapi32 for keys and
// values, and the wide call for text as the registry holds it.
#include "platform/windows/registry.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>

#include "platform/windows/library.h"
#include "platform/windows/paths.h"

namespace updater::win {

std::int32_t RegOpenKeyExA(RegistryKey root, const std::string& subKey, std::uint32_t options,
                           std::uint32_t access, RegistryKey* key) {
  if (key != nullptr) *key = 0;
  if (root == 0) return ERROR_INVALID_HANDLE;
  // The ANSI call ends the name at a NUL, which would open another key.
  if (subKey.find('\0') != std::string::npos) return ERROR_FILE_NOT_FOUND;
  const HKEY rootKey = root == kHkeyCurrentUser ? HKEY_CURRENT_USER : reinterpret_cast<HKEY>(root);
  const auto open = Advapi32().Get<decltype(::RegOpenKeyExA)>("RegOpenKeyExA");
  if (open == nullptr) return static_cast<std::int32_t>(Advapi32().error());
  HKEY opened = nullptr;
  const LONG status = open(rootKey, subKey.c_str(), options, static_cast<REGSAM>(access),
                           key != nullptr ? &opened : nullptr);
  if (status == ERROR_SUCCESS && key != nullptr) *key = reinterpret_cast<RegistryKey>(opened);
  return status;
}

std::int32_t RegQueryValueExA(RegistryKey key, const std::string& name, std::uint32_t* type,
                              unsigned char* data, std::uint32_t* size) {
  if (key == 0) return ERROR_INVALID_HANDLE;
  // The ANSI call ends the name at a NUL, which would read another value.
  if (name.find('\0') != std::string::npos) return ERROR_FILE_NOT_FOUND;
  // DWORD is unsigned long, not the uint32_t of the interface: go through
  // locals of the right type.
  const auto query = Advapi32().Get<decltype(::RegQueryValueExA)>("RegQueryValueExA");
  if (query == nullptr) return static_cast<std::int32_t>(Advapi32().error());
  DWORD valueType = 0;
  DWORD valueSize = size != nullptr ? *size : 0;
  const LONG status =
      query(reinterpret_cast<HKEY>(key), name.c_str(), nullptr,
            type != nullptr ? &valueType : nullptr, data, size != nullptr ? &valueSize : nullptr);
  if (type != nullptr) *type = valueType;
  if (size != nullptr) *size = valueSize;
  return status;
}

std::int32_t RegQueryTextW(RegistryKey key, const std::wstring& name, std::wstring* text) {
  if (key == 0) return ERROR_INVALID_HANDLE;
  if (HasNul(name)) return ERROR_FILE_NOT_FOUND;
  const auto query = Advapi32().Get<decltype(::RegQueryValueExW)>("RegQueryValueExW");
  if (query == nullptr) return static_cast<std::int32_t>(Advapi32().error());
  const HKEY hkey = reinterpret_cast<HKEY>(key);
  DWORD type = 0;
  DWORD size = 0;
  LONG status = query(hkey, name.c_str(), nullptr, &type, nullptr, &size);
  // The value may grow between the calls; ask again then.
  for (int attempt = 0; attempt < 4 && status == ERROR_SUCCESS; ++attempt) {
    if (type != REG_SZ) return ERROR_UNSUPPORTED_TYPE;
    // One spare character, so that an odd size or a missing NUL still fits.
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    status =
        query(hkey, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &got);
    if (status == ERROR_MORE_DATA) {
      size = got;
      status = ERROR_SUCCESS;
      continue;
    }
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_SZ) return ERROR_UNSUPPORTED_TYPE;
    buffer.resize(std::min<std::size_t>(got / sizeof(wchar_t), buffer.size()));
    const std::size_t nul = buffer.find(L'\0');
    if (nul != std::wstring::npos) buffer.resize(nul);
    *text = buffer;
    return ERROR_SUCCESS;
  }
  return status == ERROR_SUCCESS ? ERROR_MORE_DATA : status;
}

std::int32_t RegCloseKey(RegistryKey key) {
  if (key == 0) return ERROR_INVALID_HANDLE;
  const auto close = Advapi32().Get<decltype(::RegCloseKey)>("RegCloseKey");
  if (close == nullptr) return ERROR_INVALID_HANDLE;
  return close(reinterpret_cast<HKEY>(key));
}

}  // namespace updater::win
