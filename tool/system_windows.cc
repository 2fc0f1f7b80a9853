// updater-tool on Windows: wide arguments; on a console the wide console
// calls, so that Danish letters show whatever the console's code page;
// redirected to a file or a pipe, UTF-8.
#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/text.h"
#include "system.h"

namespace updater::tool {
namespace {

void Write(DWORD which, const std::wstring& text) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  std::wstring lines;
  for (wchar_t c : text) {
    if (c == L'\n') lines.push_back(L'\r');
    lines.push_back(c);
  }
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    for (std::size_t done = 0; done < lines.size();) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(lines.size() - done, 8192));
      DWORD written = 0;
      if (!WriteConsoleW(handle, lines.data() + done, chunk, &written, nullptr) || written == 0) {
        return;
      }
      done += written;
    }
    return;
  }
  const std::string bytes = EncodeUtf8(lines);
  for (std::size_t done = 0; done < bytes.size();) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
    if (!WriteFile(handle, bytes.data() + done, chunk, &written, nullptr) || written == 0) return;
    done += written;
  }
}

}  // namespace

void WriteOut(const std::wstring& text) { Write(STD_OUTPUT_HANDLE, text); }
void WriteErr(const std::wstring& text) { Write(STD_ERROR_HANDLE, text); }

std::filesystem::path NativePath(const std::wstring& path) { return std::filesystem::path(path); }

std::wstring TextOf(const std::filesystem::path& path) { return path.wstring(); }

}  // namespace updater::tool
