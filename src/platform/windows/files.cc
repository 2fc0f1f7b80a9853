// Finding, reading, hashing and copying files on Windows. A copy reads its
// source once into a staged file beside the destination, hashing what it
// writes when asked, flushes it, and is renamed over the destination only
// then.
#include "platform/windows/files.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform/staged_names.h"
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

// Longest name of one path component on the file systems Windows uses.
constexpr std::size_t kLongestName = 255;
// Bytes read and written at a time by a copy.
constexpr DWORD kCopyChunk = 1024 * 1024;
// Staged names tried before a copy gives up; each is taken only when a file
// of that very name exists.
constexpr int kStagedAttempts = 8;

bool IsTaken(DWORD error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }

// A token for staged names, different at every call and from run to run.
std::uint32_t NextToken() {
  static std::uint32_t token = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
  return token++;
}

// The folder part of `path`, with its last separator; empty when none.
std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring NameOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Removes a staged file, also one marked read-only.
void DeleteStaged(const std::wstring& staged) {
  SetFileAttributesW(staged.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(staged.c_str());
}

// Removes what an earlier run (killed, or cut off by a power failure) left
// staged beside the destination `name` in `folder`, and nothing else.
void RemoveLitter(const std::wstring& folder, const std::wstring& name) {
  WIN32_FIND_DATAW entry;
  FindHandle search(FindFirstFileW(FilePath(folder + StagedPattern(name)).c_str(), &entry));
  if (!search.valid()) return;
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        IsStagedNameOf(entry.cFileName, name)) {
      DeleteStaged(FilePath(folder + entry.cFileName));
    }
  } while (FindNextFileW(search.get(), &entry));
}

// Writes all of `size` bytes; false, with the error kept, when it cannot.
bool WriteAll(HANDLE file, const unsigned char* bytes, DWORD size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, size, &written, nullptr)) return false;
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    bytes += written;
    size -= written;
  }
  return true;
}

// Copies `in` to its end into `out` through our own buffer, hashing every
// byte as it is written when `digest` is given: the digest is that of the
// copy itself. ERROR_SUCCESS, or the Windows error that stopped it.
DWORD CopyContent(HANDLE in, HANDLE out, Sha256* digest) {
  std::unique_ptr<Sha256Hash> hash;
  if (digest != nullptr) {
    hash = std::make_unique<Sha256Hash>();
    if (!hash->ok()) return ERROR_NOT_SUPPORTED;
  }
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kCopyChunk]);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(in, buffer.get(), kCopyChunk, &read, nullptr)) return GetLastError();
    if (read == 0) break;
    if (hash != nullptr && !hash->Add(buffer.get(), read)) return ERROR_NOT_SUPPORTED;
    if (!WriteAll(out, buffer.get(), read)) return GetLastError();
  }
  if (hash != nullptr && !hash->Finish(digest)) return ERROR_NOT_SUPPORTED;
  return ERROR_SUCCESS;
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

CopyError StageCopy(const std::wstring& source, const std::wstring& destination,
                    const Sha256* expected, std::wstring* staged) {
  if (HasNul(source) || HasNul(destination)) return CopyError::kInvalidName;
  const std::wstring to = FilePath(destination);

  // Renaming over a read-only file or a folder is refused on Windows, but
  // not by every system that runs Windows programs; refuse it ourselves so
  // such a destination always stays as it is.
  const DWORD destinationAttributes = GetFileAttributesW(to.c_str());
  if (destinationAttributes != INVALID_FILE_ATTRIBUTES &&
      (destinationAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return CopyError::kAccessDenied;
  }

  // The source, read once and shared in every way: it may be open elsewhere.
  FileHandle in(CreateFileW(FilePath(source).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in.valid()) {
    const DWORD error = GetLastError();
    return IsNotFound(error) ? CopyError::kSourceMissing : CopyErrorFrom(error);
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(in.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return CopyError::kSourceMissing;
  }

  const std::wstring folder = FolderOf(destination);
  const std::wstring name = NameOf(destination);
  // No file system Windows uses takes a longer name; the staged file's own
  // name would be short enough, and the rename fail only at the end.
  if (name.size() > kLongestName) return CopyError::kInvalidName;
  RemoveLitter(folder, name);

  // A new file of a name no file has yet (CREATE_NEW), with ordinary
  // attributes whatever the source's; writing its data stream alone leaves
  // out the source's other streams (the download mark among them).
  std::wstring temp;
  FileHandle out(INVALID_HANDLE_VALUE);
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < kStagedAttempts && IsTaken(error); ++attempt) {
    temp = FilePath(folder + StagedName(name, NextToken()));
    out.Reset(CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    error = out.valid() ? ERROR_SUCCESS : GetLastError();
  }
  if (error != ERROR_SUCCESS) {
    if (IsTaken(error)) return CopyError::kOther;
    return IsNotFound(error) ? CopyError::kFolderMissing : CopyErrorFrom(error);
  }
  const auto abandon = [&](CopyError why) {
    out.Close();
    DeleteStaged(temp);
    return why;
  };

  Sha256 copied;
  error = CopyContent(in.get(), out.get(), expected != nullptr ? &copied : nullptr);
  if (error != ERROR_SUCCESS) return abandon(CopyErrorFrom(error));
  if (expected != nullptr && copied != *expected) return abandon(CopyError::kChanged);
  // The copy keeps the source's last-write time, as a copy does.
  SetFileTime(out.get(), nullptr, nullptr, &info.ftLastWriteTime);
  // On the disk before it replaces the destination, so that a power cut
  // after the rename cannot leave a file of the right name with missing
  // content. Some network and virtual file systems cannot flush; the
  // rename's write-through is then all there is.
  if (!FlushFileBuffers(out.get())) {
    error = GetLastError();
    if (error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED) {
      return abandon(CopyErrorFrom(error));
    }
  }
  out.Close();
  *staged = temp;
  return CopyError::kNone;
}

CopyError ReplaceWithStaged(const std::wstring& staged, const std::wstring& destination) {
  if (HasNul(destination)) return CopyError::kInvalidName;
  const std::wstring to = FilePath(destination);
  if (MoveFileExW(staged.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return CopyError::kNone;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED) return AccessDeniedOnReplace(to);
  return CopyErrorFrom(error);
}

void DiscardStaged(const std::wstring& staged) { DeleteStaged(staged); }

}  // namespace updater::win
