// How the tool writes what it found for people.
#include "wording.h"

#include <cwchar>

namespace updater::tool {

std::wstring Count(std::size_t n, const wchar_t* one, const wchar_t* many) {
  return std::to_wstring(n) + L" " + (n == 1 ? one : many);
}

std::wstring QuotedText(const std::wstring& text) { return L"\"" + ShownText(text) + L"\""; }

std::wstring ShownText(const std::wstring& text) {
  std::wstring shown;
  for (wchar_t c : text) {
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
      wchar_t code[12];
      std::swprintf(code, 12, L"<%02X>", static_cast<unsigned>(c));
      shown += code;
    } else {
      shown.push_back(c);
    }
  }
  return shown;
}

std::wstring ShownPath(const std::wstring& path) { return ShownText(TypedPath(path)); }

std::wstring TypedPath(const std::wstring& path) {
  std::wstring shown = path;
#ifndef _WIN32
  if (shown.find(L'/') != std::wstring::npos) {
    // One separator, and one at a time: "/opt/Sylkum/" with the "\" the
    // updater adds reads "/opt/Sylkum/", as typed.
    std::wstring one;
    for (wchar_t c : shown) {
      if (c == L'\\') c = L'/';
      if (c != L'/' || one.empty() || one.back() != L'/') one.push_back(c);
    }
    shown = one;
  }
#endif
  return shown;
}

std::wstring JoinAsTyped(const std::wstring& folder, const std::wstring& name) {
#ifdef _WIN32
  wchar_t separator = L'\\';
#else
  wchar_t separator = L'/';
#endif
  if (folder.find(L'/') != std::wstring::npos) {
    separator = L'/';
  } else if (folder.find(L'\\') != std::wstring::npos) {
    separator = L'\\';
  }
  if (!folder.empty() && (folder.back() == L'/' || folder.back() == L'\\')) return folder + name;
  return folder + separator + name;
}

std::wstring WhyNotFound(PathKind kind) {
  switch (kind) {
    case PathKind::kNothing: return L"absent";
    case PathKind::kHiddenFile: return L"hidden (or a system file), which the updater passes over";
    case PathKind::kFolder: return L"a folder, not a file";
    case PathKind::kUnknown: return L"it cannot be looked at";
    case PathKind::kPlainFile: break;
  }
  return L"present, but the updater's search did not find it";
}

}  // namespace updater::tool
