#include "platform/windows_path.h"

namespace updater {
namespace {

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// "server\share" at `start`: a server name and a share name, both non-empty.
bool HasServerAndShare(const std::wstring& path, std::size_t start) {
  std::size_t server = start;
  while (server < path.size() && !IsWindowsSeparator(path[server])) ++server;
  if (server == start || server >= path.size()) return false;
  const std::size_t share = server + 1;
  return share < path.size() && !IsWindowsSeparator(path[share]);
}

}  // namespace

bool IsWindowsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsWindowsDriveAbsolute(const std::wstring& path) {
  return path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == L':' &&
         IsWindowsSeparator(path[2]);
}

bool IsWindowsUncPath(const std::wstring& path) {
  if (path.size() < 3 || !IsWindowsSeparator(path[0]) || !IsWindowsSeparator(path[1])) {
    return false;
  }
  if (IsWindowsSeparator(path[2])) return false;
  const bool deviceMark = path[2] == L'?' || path[2] == L'.';
  return !(deviceMark && (path.size() == 3 || IsWindowsSeparator(path[3])));
}

bool IsWindowsAbsolutePath(const std::wstring& path) {
  if (IsWindowsDriveAbsolute(path)) return true;
  if (IsWindowsUncPath(path)) return HasServerAndShare(path, 2);
  // "\\?\" then a drive path or "UNC\server\share".
  if (path.size() > 4 && path.compare(0, 4, L"\\\\?\\") == 0) {
    const std::wstring rest = path.substr(4);
    if (IsWindowsDriveAbsolute(rest)) return true;
    return rest.size() > 4 && (rest[0] == L'U' || rest[0] == L'u') &&
           (rest[1] == L'N' || rest[1] == L'n') && (rest[2] == L'C' || rest[2] == L'c') &&
           rest[3] == L'\\' && HasServerAndShare(rest, 4);
  }
  return false;
}

}  // namespace updater
