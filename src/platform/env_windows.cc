// The platform on Windows: every operation maps onto the Win32 call that does
// the job, using the wide (...W) calls for text and the ANSI registry calls.
// This is the only file of the updater that includes <windows.h>.
#include <windows.h>
// After <windows.h>, which it needs.
#include <bcrypt.h>
// <windows.h> renames CopyFile to CopyFileW; the interface has a member of
// that name.
#undef CopyFile

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "platform/inspection.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/windows_path.h"

namespace updater {
namespace {

// --- Handles -----------------------------------------------------------------

// A search started by FindFirstFileW, ended by FindClose.
class FindHandle {
 public:
  explicit FindHandle(HANDLE handle) : handle_(handle) {}
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  ~FindHandle() {
    if (valid()) FindClose(handle_);
  }

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// A file opened by CreateFileW, closed by CloseHandle.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  FileHandle(FileHandle&& other) noexcept : handle_(other.handle_) {
    other.handle_ = INVALID_HANDLE_VALUE;
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  FileHandle& operator=(FileHandle&&) = delete;
  ~FileHandle() { Close(); }

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }

  void Close() {
    if (valid()) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

// A library of the system loaded on first use, and never from anywhere but
// the system folder: a DLL of the same name planted beside the program or in
// the current folder is never the one loaded.
class SystemLibrary {
 public:
  explicit SystemLibrary(const wchar_t* name) : name_(name) {}
  SystemLibrary(const SystemLibrary&) = delete;
  SystemLibrary& operator=(const SystemLibrary&) = delete;

  // The function `name` of the library, of the type `Function` (the type of
  // the declaration in <windows.h>, named by decltype, which makes no
  // import); null when the library or the function cannot be had (error()
  // then tells why).
  template <typename Function>
  Function* Get(const char* name) {
    if (!Load()) return nullptr;
    const FARPROC function = GetProcAddress(module_, name);
    if (function == nullptr) {
      error_ = GetLastError();
      return nullptr;
    }
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(function));
  }

  // Why the last Get gave null, as a Windows error code.
  DWORD error() const { return error_ != ERROR_SUCCESS ? error_ : ERROR_MOD_NOT_FOUND; }

 private:
  bool Load() {
    if (module_ != nullptr) return true;
    if (tried_) return false;
    tried_ = true;
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
      error_ = length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW;
      return false;
    }
    const std::wstring path = std::wstring(folder, length) + L"\\" + name_;
    // The libraries it needs come from the system folder too; a Windows
    // without that flag (7 before its 2011 update) loads them from the known
    // system libraries, as any program's imports.
    module_ = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module_ == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
      module_ = LoadLibraryW(path.c_str());
    }
    if (module_ == nullptr) error_ = GetLastError();
    return module_ != nullptr;
  }

  const wchar_t* name_;
  HMODULE module_ = nullptr;
  bool tried_ = false;
  DWORD error_ = ERROR_SUCCESS;
};

// The product starts the updater at every launch, and nearly always there is
// nothing to do: such a start loads kernel32 (and the C runtime) alone.
// user32 is loaded for the first box, advapi32 for the first registry call,
// bcrypt for the first digest.
SystemLibrary& User32() {
  static SystemLibrary library(L"user32.dll");
  return library;
}

SystemLibrary& Advapi32() {
  static SystemLibrary library(L"advapi32.dll");
  return library;
}

// bcrypt (CNG) hashes the payload, only when an update has a checksum file.
SystemLibrary& Bcrypt() {
  static SystemLibrary library(L"bcrypt.dll");
  return library;
}

// --- Hashing -------------------------------------------------------------------

// Bytes read and hashed at a time.
constexpr DWORD kHashChunk = 256 * 1024;

// A SHA-256 hash under way in CNG; ok() is false when CNG cannot be had.
class Sha256Hash {
 public:
  Sha256Hash() {
    SystemLibrary& cng = Bcrypt();
    const auto openAlgorithm =
        cng.Get<decltype(::BCryptOpenAlgorithmProvider)>("BCryptOpenAlgorithmProvider");
    const auto createHash = cng.Get<decltype(::BCryptCreateHash)>("BCryptCreateHash");
    hashData_ = cng.Get<decltype(::BCryptHashData)>("BCryptHashData");
    finishHash_ = cng.Get<decltype(::BCryptFinishHash)>("BCryptFinishHash");
    destroyHash_ = cng.Get<decltype(::BCryptDestroyHash)>("BCryptDestroyHash");
    closeAlgorithm_ =
        cng.Get<decltype(::BCryptCloseAlgorithmProvider)>("BCryptCloseAlgorithmProvider");
    if (openAlgorithm == nullptr || createHash == nullptr || hashData_ == nullptr ||
        finishHash_ == nullptr || destroyHash_ == nullptr || closeAlgorithm_ == nullptr) {
      return;
    }
    if (!BCRYPT_SUCCESS(openAlgorithm(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      algorithm_ = nullptr;
      return;
    }
    // CNG keeps the hash object itself (Windows 7 and later).
    if (!BCRYPT_SUCCESS(createHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0))) hash_ = nullptr;
  }
  Sha256Hash(const Sha256Hash&) = delete;
  Sha256Hash& operator=(const Sha256Hash&) = delete;
  ~Sha256Hash() {
    if (hash_ != nullptr) destroyHash_(hash_);
    if (algorithm_ != nullptr) closeAlgorithm_(algorithm_, 0);
  }

  bool ok() const { return hash_ != nullptr; }
  bool Add(const unsigned char* bytes, ULONG size) {
    return BCRYPT_SUCCESS(hashData_(hash_, const_cast<PUCHAR>(bytes), size, 0));
  }
  bool Finish(Sha256* digest) {
    return BCRYPT_SUCCESS(
        finishHash_(hash_, digest->data(), static_cast<ULONG>(digest->size()), 0));
  }

 private:
  decltype(::BCryptHashData)* hashData_ = nullptr;
  decltype(::BCryptFinishHash)* finishHash_ = nullptr;
  decltype(::BCryptDestroyHash)* destroyHash_ = nullptr;
  decltype(::BCryptCloseAlgorithmProvider)* closeAlgorithm_ = nullptr;
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
};

// --- Paths -------------------------------------------------------------------

// From this length on a path goes to the file calls in its \\?\ form: 248 is
// the longest folder path the plain form allows, and a file name appended to
// a folder just under it already passes MAX_PATH.
constexpr std::size_t kLongPathFrom = 248;

bool IsSeparator(wchar_t c) { return IsWindowsSeparator(c); }

bool HasNul(const std::wstring& text) { return text.find(L'\0') != std::wstring::npos; }

// True when `path` holds a character no file or folder name can have, so no
// search could match it: a control character or "|" anywhere, or a wildcard
// ("*", "?", and "<", ">", '"', which FindFirstFileW also takes as wildcards)
// in a folder component. Windows refuses such a path as an invalid name; we
// check ourselves so the answer does not depend on how the file system below
// words its refusal.
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

// The form of `path` to hand to the file calls. A long absolute path gets the
// \\?\ (or \\?\UNC\) prefix so that it is not cut at MAX_PATH, also on
// Windows without long-path support switched on. That prefix also switches
// off the clean-up Windows does to plain paths, so the path is first made
// full by GetFullPathNameW, which does exactly that clean-up: / becomes \,
// doubled \ are collapsed (the temp folder from the environment may end in
// one before we add ours), "." and ".." components are resolved and trailing
// dots and spaces are dropped. A path is then the same file in both forms.
// Shorter and relative paths are passed unchanged.
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

// --- Copying -----------------------------------------------------------------

// A copy is first written beside the destination under this extra ending and
// then renamed over it, so the destination is never half written.
constexpr wchar_t kTempEnding[] = L".updater-tmp";
// Longest name of one path component on the file systems Windows uses.
constexpr std::size_t kLongestName = 255;

// Temporary file number `attempt` beside `destination`: its name with this
// process's number, the attempt and our ending, or a fixed name with the
// same marks in the same folder when that would make the name too long.
std::wstring TempPathBeside(const std::wstring& destination, int attempt) {
  const std::wstring ending =
      L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt) + kTempEnding;
  const std::size_t slash = destination.find_last_of(L"\\/");
  const std::size_t nameStart = slash == std::wstring::npos ? 0 : slash + 1;
  if (destination.size() - nameStart + ending.size() <= kLongestName) {
    return destination + ending;
  }
  return destination.substr(0, nameStart) + L"updater" + ending;
}

CopyError CopyErrorFrom(DWORD error) {
  switch (error) {
    case ERROR_PATH_NOT_FOUND: return CopyError::kFolderMissing;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT: return CopyError::kAccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE: return CopyError::kInUse;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY: return CopyError::kInvalidName;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return CopyError::kNoSpace;
    default: return CopyError::kOther;
  }
}

// Temporary names tried before a copy gives up; each is taken only when a
// file of that very name exists.
constexpr int kTempAttempts = 8;

bool IsTaken(DWORD error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }

bool IsNotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Removes the temporary file, also when it came out read-only (CopyFileW
// carries the source's attributes over).
void DeleteTemp(const std::wstring& temp) {
  SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(temp.c_str());
}

// Forces the copied bytes of `temp` to the disk before it replaces the
// destination, so that a power cut after the rename cannot leave a file of the
// right name with missing content. FlushFileBuffers needs a handle that may
// write, which a read-only file refuses, so the read-only mark is lifted for
// the flush and put back after. Returns the Windows error, 0 when flushed.
DWORD FlushToDisk(const std::wstring& temp) {
  const DWORD attributes = GetFileAttributesW(temp.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
  const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly && !SetFileAttributesW(temp.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    return GetLastError();
  }
  DWORD error = ERROR_SUCCESS;
  {
    // Others may share it: a virus scanner often looks at a new file at once.
    FileHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
      error = GetLastError();
    } else if (!FlushFileBuffers(file.get())) {
      // Some network and virtual file systems cannot flush; the rename's
      // write-through is then all there is.
      error = GetLastError();
      if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED) error = ERROR_SUCCESS;
    }
  }
  if (readOnly && error == ERROR_SUCCESS && !SetFileAttributesW(temp.c_str(), attributes)) {
    error = GetLastError();
  }
  return error;
}

// Why renaming over `destination` was refused with "access denied". Windows
// gives that both for a destination we may not write and for a program file
// that is running; only the second is worth trying again. A running or
// otherwise opened file cannot be opened without sharing.
CopyError AccessDeniedOnReplace(const std::wstring& destination) {
  FileHandle probe(CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!probe.valid() && GetLastError() == ERROR_SHARING_VIOLATION) return CopyError::kInUse;
  return CopyError::kAccessDenied;
}

// The digest of the file at `path` (in the form for the file calls), read
// shared in every way: ERROR_SUCCESS, or the Windows error that kept it
// from being read (ERROR_NOT_SUPPORTED when CNG cannot be had or fails).
DWORD HashPath(const std::wstring& path, Sha256* digest) {
  FileHandle file(CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid()) return GetLastError();
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info)) return GetLastError();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ERROR_ACCESS_DENIED;
  Sha256Hash hash;
  if (!hash.ok()) return ERROR_NOT_SUPPORTED;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kHashChunk]);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer.get(), kHashChunk, &read, nullptr)) return GetLastError();
    if (read == 0) return hash.Finish(digest) ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
    if (!hash.Add(buffer.get(), read)) return ERROR_NOT_SUPPORTED;
  }
}

// --- Reading -----------------------------------------------------------------

class WindowsInputFile final : public InputFile {
 public:
  explicit WindowsInputFile(FileHandle file) : file_(std::move(file)) {}

  std::ptrdiff_t Read(char* buffer, std::size_t size) override {
    // One ReadFile takes at most a DWORD's worth, and the count must fit the
    // signed result; a shorter read is allowed by the contract.
    constexpr std::size_t kLargestRead = 0x7FFFFFFF;
    const DWORD request = static_cast<DWORD>(size < kLargestRead ? size : kLargestRead);
    DWORD read = 0;
    if (!ReadFile(file_.get(), buffer, request, &read, nullptr)) return -1;
    return static_cast<std::ptrdiff_t>(read);
  }

 private:
  FileHandle file_;
};

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

// The mutex of "one updater at a time" for `productId`.
std::wstring ClaimName(const std::wstring& productId) {
  return L"Local\\Zorbe IT updater " + productId;
}

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

  FindResult FindFileName(const std::wstring& path) override {
    FindResult result;
    if (HasInvalidNameCharacter(path)) {
      result.ok = false;
      return result;
    }
    WIN32_FIND_DATAW entry;
    FindHandle search(FindFirstFileW(FilePath(path).c_str(), &entry));
    if (!search.valid()) {
      // A missing file or folder is an answer ("none"); anything else (a bad
      // name, a drive without media, a missing server) means we could not look.
      const DWORD error = GetLastError();
      result.ok = IsNotFound(error) || error == ERROR_NO_MORE_FILES;
      return result;
    }
    constexpr DWORD kNotPlain =
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;
    do {
      if ((entry.dwFileAttributes & kNotPlain) == 0) {
        result.name = entry.cFileName;
        return result;
      }
    } while (FindNextFileW(search.get(), &entry));
    result.ok = GetLastError() == ERROR_NO_MORE_FILES;
    return result;
  }

  FolderPlace LocateFolder(const std::wstring& path) override {
    FolderPlace place;
    place.path = CanonicalWindowsFolder(path);
    if (HasNul(path) || HasInvalidNameCharacter(path)) return place;
    const std::wstring full = FilePath(place.path);
    // Short (8.3) names made long; only a path that exists has them.
    const DWORD needed = GetLongPathNameW(full.c_str(), nullptr, 0);
    if (needed > 0) {
      std::wstring longPath(needed, L'\0');
      const DWORD written = GetLongPathNameW(full.c_str(), longPath.data(), needed);
      if (written > 0 && written < needed) {
        longPath.resize(written);
        place.path = CanonicalWindowsFolder(longPath);
      }
    }
    // A folder opens only with backup semantics; attributes are all it asks.
    FileHandle folder(CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (folder.valid() && GetFileInformationByHandle(folder.get(), &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      place.identified = true;
      place.volume = info.dwVolumeSerialNumber;
      place.fileId = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    return place;
  }

  std::unique_ptr<InputFile> OpenFile(const std::wstring& path) override {
    if (HasNul(path)) return nullptr;
    // Shared in every way: the files we read may be open in the product.
    FileHandle file(CreateFileW(FilePath(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                nullptr));
    if (!file.valid()) return nullptr;
    // CreateFileW refuses a folder on Windows, but not every system that runs
    // Windows programs does; make sure.
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return nullptr;
    }
    return std::make_unique<WindowsInputFile>(std::move(file));
  }

  bool HashFile(const std::wstring& path, Sha256* digest) override {
    if (HasNul(path)) return false;
    return HashPath(FilePath(path), digest) == ERROR_SUCCESS;
  }

  CopyError CopyFile(const std::wstring& source, const std::wstring& destination,
                     const Sha256* expected) override {
    if (HasNul(source) || HasNul(destination)) return CopyError::kInvalidName;
    const std::wstring from = FilePath(source);
    const std::wstring to = FilePath(destination);

    // Renaming over a read-only file or a folder is refused on Windows, but
    // not by every system that runs Windows programs; refuse it ourselves so
    // such a destination always stays as it is.
    const DWORD destinationAttributes = GetFileAttributesW(to.c_str());
    if (destinationAttributes != INVALID_FILE_ATTRIBUTES &&
        (destinationAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
      return CopyError::kAccessDenied;
    }

    // The copy goes to a temporary name that no file has yet (CopyFileW
    // refuses to overwrite), so no file of the product's, nor one left by an
    // earlier run, is ever written through or removed.
    std::wstring temp;
    DWORD copyError = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < kTempAttempts && IsTaken(copyError); ++attempt) {
      temp = FilePath(TempPathBeside(destination, attempt));
      copyError = CopyFileW(from.c_str(), temp.c_str(), TRUE) ? ERROR_SUCCESS : GetLastError();
    }
    if (copyError != ERROR_SUCCESS) {
      if (IsTaken(copyError)) return CopyError::kOther;
      DeleteTemp(temp);
      if (IsNotFound(copyError)) {
        // CopyFileW does not tell which side was missing: the source, or the
        // folder of the destination.
        if (GetFileAttributesW(from.c_str()) == INVALID_FILE_ATTRIBUTES &&
            IsNotFound(GetLastError())) {
          return CopyError::kSourceMissing;
        }
        return CopyError::kFolderMissing;
      }
      return CopyErrorFrom(copyError);
    }

    // The copy itself is read back and hashed: those are the bytes that
    // will replace the destination.
    if (expected != nullptr) {
      Sha256 copied;
      const DWORD hashError = HashPath(temp, &copied);
      if (hashError != ERROR_SUCCESS) {
        DeleteTemp(temp);
        return CopyErrorFrom(hashError);
      }
      if (copied != *expected) {
        DeleteTemp(temp);
        return CopyError::kChanged;
      }
    }

    const DWORD flushError = FlushToDisk(temp);
    if (flushError != ERROR_SUCCESS) {
      DeleteTemp(temp);
      return CopyErrorFrom(flushError);
    }

    if (!MoveFileExW(temp.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      const DWORD error = GetLastError();
      DeleteTemp(temp);
      if (error == ERROR_ACCESS_DENIED) return AccessDeniedOnReplace(to);
      return CopyErrorFrom(error);
    }
    return CopyError::kNone;
  }

  std::int32_t RegOpenKeyExA(RegistryKey root, const std::string& subKey, std::uint32_t options,
                             std::uint32_t access, RegistryKey* key) override {
    if (key != nullptr) *key = 0;
    if (root == 0) return ERROR_INVALID_HANDLE;
    // The ANSI call ends the name at a NUL, which would open another key.
    if (subKey.find('\0') != std::string::npos) return ERROR_FILE_NOT_FOUND;
    const HKEY rootKey =
        root == kHkeyCurrentUser ? HKEY_CURRENT_USER : reinterpret_cast<HKEY>(root);
    const auto open = Advapi32().Get<decltype(::RegOpenKeyExA)>("RegOpenKeyExA");
    if (open == nullptr) return static_cast<std::int32_t>(Advapi32().error());
    HKEY opened = nullptr;
    const LONG status = open(rootKey, subKey.c_str(), options, static_cast<REGSAM>(access),
                             key != nullptr ? &opened : nullptr);
    if (status == ERROR_SUCCESS && key != nullptr) *key = reinterpret_cast<RegistryKey>(opened);
    return status;
  }

  std::int32_t RegQueryValueExA(RegistryKey key, const std::string& name, std::uint32_t* type,
                                unsigned char* data, std::uint32_t* size) override {
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

  std::int32_t RegQueryTextW(RegistryKey key, const std::wstring& name,
                             std::wstring* text) override {
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

  std::int32_t RegCloseKey(RegistryKey key) override {
    if (key == 0) return ERROR_INVALID_HANDLE;
    const auto close = Advapi32().Get<decltype(::RegCloseKey)>("RegCloseKey");
    if (close == nullptr) return ERROR_INVALID_HANDLE;
    return close(reinterpret_cast<HKEY>(key));
  }

  int ShowMessage(const std::wstring& prompt, unsigned flags, const std::wstring& title) override {
    // The updater has no window of its own and is often started from the
    // product as that closes; without this the box could open behind others.
    const auto show = User32().Get<decltype(::MessageBoxW)>("MessageBoxW");
    if (show == nullptr) return 0;
    return show(nullptr, prompt.c_str(), title.c_str(), flags | MB_SETFOREGROUND);
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

class WindowsInspection final : public Inspection {
 public:
  ClaimState QueryClaim(const std::wstring& productId) override {
    // Opening, unlike creating, makes no mutex where there is none, and
    // asking its state takes nothing: an updater that starts meanwhile still
    // gets its claim.
    const HANDLE mutex =
        OpenMutexW(SYNCHRONIZE | kMutantQueryState, FALSE, ClaimName(productId).c_str());
    if (mutex == nullptr) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND) return ClaimState::kFree;
      return error == ERROR_ACCESS_DENIED ? ClaimState::kHeld : ClaimState::kUnknown;
    }
    ClaimState state = ClaimState::kUnknown;
    MutantBasicInformation info{};
    ULONG length = 0;
    const auto query = reinterpret_cast<NtQueryMutantFunction*>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryMutant")));
    if (query != nullptr && query(mutex, 0, &info, sizeof info, &length) >= 0) {
      // 1: free (also when its last holder ended without letting go);
      // 0 or less: held.
      state = info.currentCount > 0 ? ClaimState::kFree : ClaimState::kHeld;
    }
    CloseHandle(mutex);
    return state;
  }

  PathKind QueryPath(const std::wstring& path) override {
    if (HasNul(path) || HasInvalidNameCharacter(path) ||
        path.find_first_of(L"*?") != std::wstring::npos) {
      return PathKind::kUnknown;
    }
    const DWORD attributes = GetFileAttributesW(FilePath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return IsNotFound(GetLastError()) ? PathKind::kNothing : PathKind::kUnknown;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::kFolder;
    if (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) return PathKind::kHiddenFile;
    return PathKind::kPlainFile;
  }

  CopyError ProbeDestination(const std::wstring& destination) override {
    if (HasNul(destination) || HasInvalidNameCharacter(destination)) {
      return CopyError::kInvalidName;
    }
    const std::size_t slash = destination.find_last_of(L"\\/");
    if (slash != std::wstring::npos) {
      const DWORD folder = GetFileAttributesW(FilePath(destination.substr(0, slash + 1)).c_str());
      if (folder == INVALID_FILE_ATTRIBUTES) {
        return IsNotFound(GetLastError()) ? CopyError::kFolderMissing : CopyError::kOther;
      }
      if ((folder & FILE_ATTRIBUTE_DIRECTORY) == 0) return CopyError::kFolderMissing;
    }
    const std::wstring to = FilePath(destination);
    const DWORD attributes = GetFileAttributesW(to.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return IsNotFound(GetLastError()) ? CopyError::kNone : CopyError::kOther;
    }
    if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) {
      return CopyError::kAccessDenied;
    }
    // The copy renames over the file, which a program that holds it open
    // without letting it be deleted prevents. Asking for delete access while
    // sharing everything tells that and deletes nothing. For the instant the
    // handle is open, a program that opens the file without sharing delete
    // access would be refused; the handle is closed at once.
    FileHandle probe(CreateFileW(to.c_str(), DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (probe.valid()) return CopyError::kNone;
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return CopyError::kInUse;
    return error == ERROR_ACCESS_DENIED ? CopyError::kAccessDenied : CopyErrorFrom(error);
  }

 private:
  // What ntdll's NtQueryMutant tells of a mutex (MutantBasicInformation).
  struct MutantBasicInformation {
    LONG currentCount;
    BOOLEAN ownedByCaller;
    BOOLEAN abandoned;
  };
  using NtQueryMutantFunction = LONG NTAPI(HANDLE, int, void*, ULONG, ULONG*);
  // The right to ask a mutex's state (MUTANT_QUERY_STATE).
  static constexpr DWORD kMutantQueryState = 0x0001;
};

}  // namespace

Platform& SystemPlatform() {
  static WindowsPlatform platform;
  return platform;
}

Inspection& SystemInspection() {
  static WindowsInspection inspection;
  return inspection;
}

}  // namespace updater

// The C++ runtime's own handler for an uncaught exception prints the demangled
// type name on a console this GUI program does not have, and the demangler
// it pulls in is a sixth of the executable. Ending at once says as much.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
