// The platform on Windows: every operation maps onto the Win32 call that does
// the job, using the wide (...W) calls for text and the ANSI registry calls.
// The class here does the small operations itself and hands files, the
// registry and message boxes to the other files of this folder.
#include "platform/platform.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/windows/claim.h"
#include "platform/windows/ecdsa.h"
#include "platform/windows/files.h"
#include "platform/windows/library.h"
#include "platform/windows/message_box.h"
#include "platform/windows/paths.h"
#include "platform/windows/registry.h"
#include "platform/windows/writing.h"
#include "platform/windows_path.h"

namespace updater {
namespace {

using win::ClaimName;
using win::HasNul;

// --- Text --------------------------------------------------------------------

// Byte-for-character text, the result for bytes Windows cannot convert.
std::wstring BytesAsCharacters(const std::string& bytes) {
  std::wstring text;
  text.reserve(bytes.size());
  for (char b : bytes) text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(b)));
  return text;
}

// Converts with WideCharToMultiByte; false when Windows refuses the flags.
bool WideToAnsi(const std::wstring& text, DWORD flags, const char* defaultChar, std::string* out) {
  const int length = static_cast<int>(text.size());
  const int needed =
      WideCharToMultiByte(CP_ACP, flags, text.data(), length, nullptr, 0, defaultChar, nullptr);
  if (needed <= 0) return false;
  out->assign(static_cast<std::size_t>(needed), '\0');
  const int written = WideCharToMultiByte(CP_ACP, flags, text.data(), length, out->data(), needed,
                                          defaultChar, nullptr);
  if (written <= 0) return false;
  out->resize(static_cast<std::size_t>(written));
  return true;
}

// --- The platform ------------------------------------------------------------

class WindowsPlatform final : public Platform {
 public:
  std::wstring EnvironmentValue(const std::wstring& name) override {
    if (name.empty() || HasNul(name)) return std::wstring();
    std::wstring value;
    DWORD capacity = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    // The variable could grow between the two calls; ask again then.
    for (int attempt = 0; attempt < 4 && capacity > 0; ++attempt) {
      value.assign(capacity, L'\0');
      const DWORD length = GetEnvironmentVariableW(name.c_str(), value.data(), capacity);
      if (length < capacity) {
        value.resize(length);
        return value;
      }
      capacity = length;
    }
    return std::wstring();
  }

  FindResult FindFileName(const std::wstring& path) override { return win::FindFileName(path); }

  FolderPlace LocateFolder(const std::wstring& path) override { return win::LocateFolder(path); }

  std::unique_ptr<InputFile> OpenFile(const std::wstring& path) override {
    return win::OpenFile(path);
  }

  bool HashFile(const std::wstring& path, Sha256* digest) override {
    return win::HashFile(path, digest);
  }

  CopyError CreateNewFile(const std::wstring& path, const std::wstring&,
                          std::unique_ptr<OutputFile>* file) override {
    // Windows keeps no mode to take over: the new file has ordinary
    // attributes whatever the file it replaces had.
    return win::CreateNewFile(path, file);
  }

  CopyError RenameFile(const std::wstring& from, const std::wstring& to, bool replace) override {
    return win::RenameFile(from, to, replace);
  }

  // Each rename is written through when it happens (see RenameFile), and a
  // folder's entries cannot be flushed on their own: nothing is left to do.
  CopyError SyncFolder(const std::wstring&) override { return CopyError::kNone; }

  CopyError RemoveFile(const std::wstring& path) override { return win::RemoveFile(path); }

  CopyError MakeFolder(const std::wstring& path) override { return win::MakeFolder(path); }

  CopyError RemoveFolder(const std::wstring& path) override { return win::RemoveFolder(path); }

  bool FreeSpace(const std::wstring& path, std::uint64_t* bytes) override {
    return win::FreeSpace(path, bytes);
  }

  PathType TypeOf(const std::wstring& path) override { return win::TypeOf(path); }

  bool ListFiles(const std::wstring& pattern, std::vector<std::wstring>* names) override {
    return win::ListFiles(pattern, names);
  }

  std::unique_ptr<Sha256Stream> StartSha256() override { return win::StartSha256(); }

  bool HashBytes(const std::string& bytes, Sha256* digest) override {
    if (bytes.size() > 0x7FFFFFFF) return false;
    win::Sha256Hash hash;
    return hash.ok() &&
           hash.Add(reinterpret_cast<const unsigned char*>(bytes.data()),
                    static_cast<ULONG>(bytes.size())) &&
           hash.Finish(digest);
  }

  SignatureCheck VerifyP256(const P256Point& point, const Sha256& digest,
                            const P256Signature& signature) override {
    return win::VerifyP256(point, digest, signature);
  }

  std::int32_t RegOpenKeyExA(RegistryKey root, const std::string& subKey, std::uint32_t options,
                             std::uint32_t access, RegistryKey* key) override {
    return win::RegOpenKeyExA(root, subKey, options, access, key);
  }

  std::int32_t RegQueryValueExA(RegistryKey key, const std::string& name, std::uint32_t* type,
                                unsigned char* data, std::uint32_t* size) override {
    return win::RegQueryValueExA(key, name, type, data, size);
  }

  std::int32_t RegQueryTextW(RegistryKey key, const std::wstring& name,
                             std::wstring* text) override {
    return win::RegQueryTextW(key, name, text);
  }

  std::int32_t RegCloseKey(RegistryKey key) override { return win::RegCloseKey(key); }

  int ShowMessage(const std::wstring& prompt, unsigned flags, const std::wstring& title) override {
    return win::ShowMessage(prompt, flags, title);
  }

  void Sleep(unsigned milliseconds) override { ::Sleep(milliseconds); }

  [[noreturn]] void EndProgram() override { ExitProcess(0); }

  std::wstring AnsiToText(const std::string& bytes) override {
    if (bytes.empty()) return std::wstring();
    if (bytes.size() > 0x7FFFFFFF) return BytesAsCharacters(bytes);
    const int length = static_cast<int>(bytes.size());
    const int needed = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
    if (needed <= 0) return BytesAsCharacters(bytes);
    std::wstring text(static_cast<std::size_t>(needed), L'\0');
    const int written = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, text.data(), needed);
    if (written <= 0) return BytesAsCharacters(bytes);
    text.resize(static_cast<std::size_t>(written));
    return text;
  }

  std::string TextToAnsi(const std::wstring& text) override {
    if (text.empty() || text.size() > 0x7FFFFFFF) return std::string();
    std::string bytes;
    // No best fit: a character without an ANSI form becomes "?", not a
    // look-alike (which could name another registry value).
    if (WideToAnsi(text, WC_NO_BEST_FIT_CHARS, "?", &bytes)) return bytes;
    // Some ANSI code pages (UTF-8 among them) accept neither flags nor a
    // default character.
    if (WideToAnsi(text, 0, nullptr, &bytes)) return bytes;
    return std::string();
  }

  int CompareText(const std::wstring& a, const std::wstring& b) override {
    if (a.size() <= 0x7FFFFFFF && b.size() <= 0x7FFFFFFF) {
      // String sort: hyphens and apostrophes count like other characters
      // instead of being skipped as in word sort.
      const int order =
          CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE | SORT_STRINGSORT, a.data(),
                         static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()));
      if (order == CSTR_LESS_THAN) return -1;
      if (order == CSTR_EQUAL) return 0;
      if (order == CSTR_GREATER_THAN) return 1;
    }
    const int folded = CompareFolded(a, b);
    return folded < 0 ? -1 : (folded > 0 ? 1 : 0);
  }

  int CompareNames(const std::wstring& a, const std::wstring& b) override {
    if (a.size() <= 0x7FFFFFFF && b.size() <= 0x7FFFFFFF) {
      // As NTFS matches names: ordinal, with its own upper-case table.
      const int order = CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                             static_cast<int>(b.size()), TRUE);
      if (order == CSTR_LESS_THAN) return -1;
      if (order == CSTR_EQUAL) return 0;
      if (order == CSTR_GREATER_THAN) return 1;
    }
    const int folded = CompareFolded(a, b);
    return folded < 0 ? -1 : (folded > 0 ? 1 : 0);
  }

  bool IsAbsolutePath(const std::wstring& path) override { return IsWindowsAbsolutePath(path); }

  std::wstring DecimalSeparator() override {
    // Windows allows at most three characters here; the buffer has room to
    // spare.
    wchar_t buffer[16] = {};
    const int length = GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buffer, 16);
    if (length <= 1) return L".";
    return std::wstring(buffer, static_cast<std::size_t>(length - 1));
  }

  bool ClaimSingleInstance(const std::wstring& productId) override {
    // A named mutex in this logon session, taken by a wait and never let
    // go, so the claim lasts until the process ends. Its mere existence
    // says nothing: a look at it (updater-tool explain) keeps the mutex
    // alive after its holder has ended, and the next updater must still
    // get it, abandoned, by its wait.
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, ClaimName(productId).c_str());
    if (mutex == nullptr) {
      // Refused access means the mutex exists, made by an updater running
      // with other rights (run as administrator): that one holds the claim.
      return GetLastError() != ERROR_ACCESS_DENIED;
    }
    const DWORD waited = WaitForSingleObject(mutex, 0);
    return waited != WAIT_TIMEOUT;
  }
};

}  // namespace

Platform& SystemPlatform() {
  static WindowsPlatform platform;
  return platform;
}

}  // namespace updater

// The C++ runtime's own handler for an uncaught exception prints the demangled
// type name on a console this GUI program does not have, and the demangler
// it pulls in is a sixth of the executable. Ending at once says as much.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
