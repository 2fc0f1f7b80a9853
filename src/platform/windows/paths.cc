// Paths for the Windows file calls: the long form for long paths, and the
// characters no file name can hold.
#include "platform/windows/paths.h"

#include <windows.h>

#include <cstddef>

#include "platform/windows_path.h"

namespace updater::win {
namespace {

// From this length on a path goes to the file calls in its \\?\ form: 248 is
// the longest folder path the plain form allows, and a file name appended to
// a folder just under it already passes MAX_PATH.
constexpr std::size_t kLongPathFrom = 248;

bool IsSeparator(wchar_t c) { return IsWindowsSeparator(c); }

}  // namespace

bool HasNul(const std::wstring& text) { return text.find(L'\0') != std::wstring::npos; }

bool HasInvalidNameCharacter(const std::wstring& path) {
  std::size_t start = 0;
  // "\\?\" and "\\.\" are prefixes, not a folder named "?".
  if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
      (path[2] == L'?' || path[2] == L'.') && IsSeparator(path[3])) {
    start = 4;
  }
  const std::size_t lastSeparator = path.find_last_of(L"\\/");
  for (std::size_t i = start; i < path.size(); ++i) {
    const wchar_t c = path[i];
    if (c < 32 || c == L'|') return true;
    const bool inFolder = lastSeparator != std::wstring::npos && i < lastSeparator;
    if (inFolder && (c == L'*' || c == L'?' || c == L'<' || c == L'>' || c == L'"')) return true;
  }
  return false;
}

std::wstring FilePath(const std::wstring& path) {
  if (path.size() < kLongPathFrom || HasNul(path)) return path;
  const bool drive = IsWindowsDriveAbsolute(path);
  if (!drive && !IsWindowsUncPath(path)) return path;

  std::wstring full(path.size() + 1, L'\0');
  DWORD written =
      GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (written >= full.size()) {
    full.assign(written, L'\0');
    written = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (written >= full.size()) return path;
  }
  if (written == 0) return path;
  full.resize(written);

  // A reserved device name (CON, NUL...) as the last component gives a device
  // path ("\\.\CON"); such a path is left as the caller wrote it.
  if (drive && IsWindowsDriveAbsolute(full)) return L"\\\\?\\" + full;
  if (!drive && IsWindowsUncPath(full)) return L"\\\\?\\UNC\\" + full.substr(2);
  return path;
}

}  // namespace updater::win
