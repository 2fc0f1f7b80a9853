// Finding, reading, hashing and copying files on Windows. A copy goes to a
// temporary file beside the destination, is checked and flushed, and is
// renamed over the destination only then.
#include "platform/windows/files.h"

#include <windows.h>
// <windows.h> renames CopyFile to CopyFileW; the interface has a member of
// that name.
#undef CopyFile

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform/windows/handles.h"
#include "platform/windows/library.h"
#include "platform/windows/paths.h"
#include "platform/windows_path.h"

namespace updater::win {

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

bool IsNotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

namespace {

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

// Temporary names tried before a copy gives up; each is taken only when a
// file of that very name exists.
constexpr int kTempAttempts = 8;

bool IsTaken(DWORD error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }

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

// --- Hashing -----------------------------------------------------------------

// Bytes read and hashed at a time.
constexpr DWORD kHashChunk = 256 * 1024;

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

}  // namespace

FindResult FindFileName(const std::wstring& path) {
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

FolderPlace LocateFolder(const std::wstring& path) {
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

std::unique_ptr<InputFile> OpenFile(const std::wstring& path) {
  if (HasNul(path)) return nullptr;
  // Shared in every way: the files we read may be open in the product.
  FileHandle file(CreateFileW(
      FilePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
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

bool HashFile(const std::wstring& path, Sha256* digest) {
  if (HasNul(path)) return false;
  return HashPath(FilePath(path), digest) == ERROR_SUCCESS;
}

CopyError CopyFile(const std::wstring& source, const std::wstring& destination,
                   const Sha256* expected) {
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

  if (!MoveFileExW(temp.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD error = GetLastError();
    DeleteTemp(temp);
    if (error == ERROR_ACCESS_DENIED) return AccessDeniedOnReplace(to);
    return CopyErrorFrom(error);
  }
  return CopyError::kNone;
}

}  // namespace updater::win
