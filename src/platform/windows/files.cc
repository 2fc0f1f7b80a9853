// Finding, looking at, reading and hashing files on Windows: the operations
// that change nothing on the disk. Writing is in writing.cc; the copy policy
// over both is the core's.
#include "platform/windows/files.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return CopyError::kExists;
    default: return CopyError::kOther;
  }
}

bool IsNotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

namespace {

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

  bool Stamp(FileStamp* stamp) override {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file_.get(), &info)) return false;
    stamp->size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp->modified = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
        info.ftLastWriteTime.dwLowDateTime);
    return true;
  }

 private:
  FileHandle file_;
};

// A digest taken a piece at a time by CNG; a piece CNG refuses spoils it.
class CngSha256Stream final : public Sha256Stream {
 public:
  bool ok() const { return hash_.ok(); }

  void Add(const char* bytes, std::size_t size) override {
    // CNG takes at most a ULONG's worth at a time.
    constexpr std::size_t kLargestPiece = 0x40000000;
    while (size > 0 && !failed_) {
      const std::size_t piece = size < kLargestPiece ? size : kLargestPiece;
      failed_ =
          !hash_.Add(reinterpret_cast<const unsigned char*>(bytes), static_cast<ULONG>(piece));
      bytes += piece;
      size -= piece;
    }
  }

  bool Finish(Sha256* digest) override { return !failed_ && hash_.Finish(digest); }

 private:
  Sha256Hash hash_;
  bool failed_ = false;
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

std::unique_ptr<Sha256Stream> StartSha256() {
  auto stream = std::make_unique<CngSha256Stream>();
  if (!stream->ok()) return nullptr;
  return stream;
}

PathType TypeOf(const std::wstring& path) {
  if (HasNul(path)) return PathType::kUnknown;
  // The attributes of a link itself, not of what it leads to.
  const DWORD attributes = GetFileAttributesW(FilePath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return IsNotFound(GetLastError()) ? PathType::kMissing : PathType::kUnknown;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return PathType::kLink;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathType::kFolder;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return PathType::kReadOnlyFile;
  return PathType::kFile;
}

bool ListFiles(const std::wstring& pattern, std::vector<std::wstring>* names) {
  names->clear();
  if (HasNul(pattern) || HasInvalidNameCharacter(pattern)) return false;
  WIN32_FIND_DATAW entry;
  FindHandle search(FindFirstFileW(FilePath(pattern).c_str(), &entry));
  if (!search.valid()) {
    // No match, and no folder to look in, are both an empty list.
    const DWORD error = GetLastError();
    return IsNotFound(error) || error == ERROR_NO_MORE_FILES;
  }
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      names->push_back(entry.cFileName);
    }
  } while (FindNextFileW(search.get(), &entry));
  return GetLastError() == ERROR_NO_MORE_FILES;
}

bool FreeSpace(const std::wstring& path, std::uint64_t* bytes) {
  if (HasNul(path)) return false;
  // A share's root must end in a separator; any folder may.
  std::wstring folder = path;
  if (!folder.empty() && !IsWindowsSeparator(folder.back())) folder += L'\\';
  const std::wstring name = FilePath(folder);
  ULARGE_INTEGER available;
  // Without a folder, the current folder's volume.
  if (!GetDiskFreeSpaceExW(name.empty() ? nullptr : name.c_str(), &available, nullptr, nullptr)) {
    return false;
  }
  *bytes = available.QuadPart;
  return true;
}

}  // namespace updater::win
