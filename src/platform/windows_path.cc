// The forms of Windows paths, told from their text alone.
#include "platform/windows_path.h"

#include <vector>

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

std::wstring CanonicalWindowsFolder(const std::wstring& folder) {
  std::wstring text = folder;
  for (wchar_t& c : text) {
    if (c == L'/') c = L'\\';
  }
  // The device prefixes only switch off the clean-up below; what follows
  // them is the path itself.
  if (text.size() >= 4 && text.compare(0, 2, L"\\\\") == 0 &&
      (text[2] == L'?' || text[2] == L'.') && text[3] == L'\\') {
    text.erase(0, 4);
    if (text.size() >= 4 && (text[0] == L'U' || text[0] == L'u') &&
        (text[1] == L'N' || text[1] == L'n') && (text[2] == L'C' || text[2] == L'c') &&
        text[3] == L'\\') {
      text = L"\\" + text.substr(3);
    }
  }
  // The root: a share's server and name, a drive, or the current drive's.
  std::wstring root;
  std::size_t pos = 0;
  std::size_t rootComponents = 0;
  if (text.size() >= 2 && text[0] == L'\\' && text[1] == L'\\') {
    root = L"\\\\";
    pos = 2;
    rootComponents = 2;
  } else if (text.size() >= 2 && IsDriveLetter(text[0]) && text[1] == L':') {
    root = text.substr(0, 2) + L"\\";
    pos = 2;
  } else if (!text.empty() && text[0] == L'\\') {
    root = L"\\";
    pos = 1;
  }
  std::vector<std::wstring> components;
  while (pos <= text.size()) {
    std::size_t end = text.find(L'\\', pos);
    if (end == std::wstring::npos) end = text.size();
    std::wstring component = text.substr(pos, end - pos);
    pos = end + 1;
    if (rootComponents > 0 && !component.empty()) {
      root += component + L"\\";
      --rootComponents;
      continue;
    }
    if (component == L"..") {
      if (!components.empty()) components.pop_back();
      continue;
    }
    while (!component.empty() && (component.back() == L'.' || component.back() == L' ')) {
      component.pop_back();
    }
    if (!component.empty()) components.push_back(component);
  }
  std::wstring canonical = root;
  for (const std::wstring& component : components) canonical += component + L"\\";
  return canonical;
}

}  // namespace updater
