// Reads HKEY_CURRENT_USER from a .reg export, the way the registry
// functions of Windows give keys and values to the updater.
#include "platform/posix/registry.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/posix/paths.h"
#include "platform/text.h"

namespace updater {
namespace posix {
namespace {

// Windows' code for a registry that cannot be read.
constexpr std::int32_t kErrorBadDb = 1009;

// Where the export is: $HKCU_FILE, else hkcu.reg in the user's configuration
// folder.
std::string RegFilePath() {
  if (const char* file = std::getenv("HKCU_FILE"); file && *file) return file;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) {
    return std::string(config) + "/hkcu.reg";
  }
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.config/hkcu.reg";
}

bool IsStringType(std::uint32_t type) { return type == 1 || type == 2 || type == kRegMultiSz; }

// The ANSI form that RegQueryValueExA gives of a string value stored as
// UTF-16LE (an odd last byte is dropped, as the registry does).
std::string AnsiFromUtf16(const std::vector<unsigned char>& data) {
  std::wstring text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  }
  return EncodeWindows1252(text);
}

// The text of a string value stored as UTF-16LE, surrogate pairs joined, up
// to its first NUL.
std::wstring TextFromUtf16(const std::vector<unsigned char>& data) {
  std::wstring text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    unsigned long unit = data[i] | (data[i + 1] << 8);
    if (unit == 0) break;
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < data.size()) {
      const unsigned long low = data[i + 2] | (data[i + 3] << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    text.push_back(static_cast<wchar_t>(unit));
  }
  return text;
}

}  // namespace

std::int32_t Registry::RegOpenKeyExA(RegistryKey root, const std::string& subKey, std::uint32_t,
                                     std::uint32_t, RegistryKey* key) {
  if (root != kHkeyCurrentUser) return kErrorFileNotFound;
  // The export is read at each opening, so that it is never stale; the
  // updater opens one key per run.
  const std::optional<std::string> bytes = ReadSmallFile(RegFilePath(), kMaxRegFileBytes);
  if (!bytes) return kErrorFileNotFound;
  const std::optional<RegFile> registry = ParseRegFile(*bytes);
  if (!registry) return kErrorBadDb;
  std::wstring path = DecodeWindows1252(subKey);
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  const RegFileKey* found = registry->FindKey(path);
  if (!found) return kErrorFileNotFound;
  const RegistryKey handle = nextHandle_++;
  open_[handle] = *found;
  *key = handle;
  return kErrorSuccess;
}

std::int32_t Registry::RegQueryValueExA(RegistryKey key, const std::string& name,
                                        std::uint32_t* type, unsigned char* data,
                                        std::uint32_t* size) {
  const auto openKey = open_.find(key);
  if (openKey == open_.end()) return kErrorInvalidHandle;
  const auto value = openKey->second.values.find(DecodeWindows1252(name));
  if (value == openKey->second.values.end()) return kErrorFileNotFound;
  const std::string bytes = IsStringType(value->second.type)
                                ? AnsiFromUtf16(value->second.data)
                                : std::string(value->second.data.begin(), value->second.data.end());
  if (type) *type = value->second.type;
  const std::uint32_t needed = static_cast<std::uint32_t>(bytes.size());
  if (data) {
    if (!size || *size < needed) {
      if (size) *size = needed;
      return kErrorMoreData;
    }
    std::memcpy(data, bytes.data(), bytes.size());
  }
  if (size) *size = needed;
  return kErrorSuccess;
}

std::int32_t Registry::RegQueryTextW(RegistryKey key, const std::wstring& name,
                                     std::wstring* text) {
  const auto openKey = open_.find(key);
  if (openKey == open_.end()) return kErrorInvalidHandle;
  const auto value = openKey->second.values.find(name);
  if (value == openKey->second.values.end()) return kErrorFileNotFound;
  if (value->second.type != kRegSz) return kErrorUnsupportedType;
  *text = TextFromUtf16(value->second.data);
  return kErrorSuccess;
}

std::int32_t Registry::RegCloseKey(RegistryKey key) {
  return open_.erase(key) == 1 ? kErrorSuccess : kErrorInvalidHandle;
}

}  // namespace posix
}  // namespace updater
