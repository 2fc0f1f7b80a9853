// Changing files and folders on Windows: a new file written and forced to
// the disk, renames, removals and folders, each one Win32 call with its
// errors read as copy errors. What is written, where and in what order is
// the core's business (the copy policy), not this file's.
#include "platform/windows/writing.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/windows/files.h"
#include "platform/windows/handles.h"
#include "platform/windows/paths.h"

namespace updater::win {
namespace {

// The attributes SetFileAttributesW takes back.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_TEMPORARY;

// Bytes handed to one WriteFile, whatever the caller gives at a time. Under
// Wine a buffered write of 1 MiB was the slow part of a copy (1 GiB: 0.4 to
// 1.6 s of writing, against 0.2 s in pieces of 64 KiB, the size Wine's own
// CopyFileW writes in): Linux gives the page cache blocks of the write's
// size (1 MiB folios for 1 MiB writes), and there large fresh blocks were
// slow to fill. On Windows the pieces cost one call per 64 KiB.
constexpr std::size_t kWritePiece = 64 * 1024;

class WindowsOutputFile final : public OutputFile {
 public:
  explicit WindowsOutputFile(HANDLE file) : file_(file) {}
  WindowsOutputFile(const WindowsOutputFile&) = delete;
  WindowsOutputFile& operator=(const WindowsOutputFile&) = delete;
  ~WindowsOutputFile() override { Close(); }

  CopyError Write(const char* bytes, std::size_t size) override {
    if (file_ == INVALID_HANDLE_VALUE) return CopyError::kOther;
    while (size > 0) {
      const DWORD request = static_cast<DWORD>(size < kWritePiece ? size : kWritePiece);
      DWORD written = 0;
      if (!WriteFile(file_, bytes, request, &written, nullptr)) {
        return CopyErrorFrom(GetLastError());
      }
      if (written == 0) return CopyError::kOther;
      bytes += written;
      size -= written;
    }
    return CopyError::kNone;
  }

  CopyError SetModified(std::int64_t modified) override {
    if (file_ == INVALID_HANDLE_VALUE) return CopyError::kOther;
    const auto ticks = static_cast<std::uint64_t>(modified);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    if (SetFileTime(file_, nullptr, nullptr, &time)) return CopyError::kNone;
    return CopyErrorFrom(GetLastError());
  }

  CopyError Flush() override {
    if (file_ == INVALID_HANDLE_VALUE) return CopyError::kOther;
    if (FlushFileBuffers(file_)) return CopyError::kNone;
    // Some network and virtual file systems cannot flush; the rename's
    // write-through is then all there is.
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED) return CopyError::kNone;
    return CopyErrorFrom(error);
  }

  CopyError Close() override {
    if (file_ == INVALID_HANDLE_VALUE) return CopyError::kNone;
    const BOOL closed = CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    return closed ? CopyError::kNone : CopyErrorFrom(GetLastError());
  }

 private:
  HANDLE file_;
};

// True when a program holds `path` open: then it cannot be opened without
// sharing. Only asked after a refusal, so a file nobody holds is opened for
// the instant of the look alone.
bool IsHeld(const std::wstring& path) {
  FileHandle probe(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  return !probe.valid() && GetLastError() == ERROR_SHARING_VIOLATION;
}

// Why renaming onto `to` was refused with "access denied". Windows gives
// that for a folder in the way, for a file we may not write, and for a
// program file that is running; only the last is worth trying again.
CopyError AccessDeniedOnRename(const std::wstring& to) {
  const DWORD attributes = GetFileAttributesW(to.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return CopyError::kFolderInPlace;
  }
  return IsHeld(to) ? CopyError::kInUse : CopyError::kAccessDenied;
}

}  // namespace

CopyError CreateNewFile(const std::wstring& path, std::unique_ptr<OutputFile>* file) {
  if (HasNul(path)) return CopyError::kInvalidName;
  const std::wstring name = FilePath(path);
  // Ordinary attributes, and only the data stream: no attribute, download
  // mark or other stream of any source comes along.
  const HANDLE created =
      CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (created == INVALID_HANDLE_VALUE) return CopyErrorFrom(GetLastError());
  *file = std::make_unique<WindowsOutputFile>(created);
  return CopyError::kNone;
}

CopyError RenameFile(const std::wstring& from, const std::wstring& to, bool replace) {
  if (HasNul(from) || HasNul(to)) return CopyError::kInvalidName;
  const std::wstring source = FilePath(from);
  const std::wstring target = FilePath(to);
  // Only files are renamed: MoveFileExW would move a folder as well. A
  // missing source is told apart from other failures (an update's new file
  // has no old one to move aside).
  const DWORD kind = GetFileAttributesW(source.c_str());
  if (kind == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? CopyError::kSourceMissing : CopyErrorFrom(error);
  }
  if ((kind & FILE_ATTRIBUTE_DIRECTORY) != 0) return CopyError::kFolderInPlace;
  // Write-through: Windows has no call that makes a folder's entries
  // durable afterwards (SyncFolder does nothing), so the rename must be on
  // the disk when it returns. Wine ignores the flag (the same rename(2)
  // either way), so the commit of many files costs the same there with it.
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (MoveFileExW(source.c_str(), target.c_str(), flags)) return CopyError::kNone;
  const DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED) return AccessDeniedOnRename(target);
  return CopyErrorFrom(error);
}

CopyError RemoveFile(const std::wstring& path) {
  if (HasNul(path)) return CopyError::kInvalidName;
  const std::wstring name = FilePath(path);
  if (DeleteFileW(name.c_str())) return CopyError::kNone;
  DWORD error = GetLastError();
  if (IsNotFound(error)) return CopyError::kNone;
  // A read-only file is removed too; its mark is cleared only for the
  // removal, and put back when that fails all the same.
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ==
          FILE_ATTRIBUTE_READONLY) {
    const DWORD writable = attributes & kSettableAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (SetFileAttributesW(name.c_str(), writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL)) {
      if (DeleteFileW(name.c_str())) return CopyError::kNone;
      error = GetLastError();
      SetFileAttributesW(name.c_str(), attributes & kSettableAttributes);
    }
  }
  return CopyErrorFrom(error);
}

CopyError MakeFolder(const std::wstring& path) {
  if (HasNul(path)) return CopyError::kInvalidName;
  if (CreateDirectoryW(FilePath(path).c_str(), nullptr)) return CopyError::kNone;
  return CopyErrorFrom(GetLastError());
}

CopyError RemoveFolder(const std::wstring& path) {
  if (HasNul(path)) return CopyError::kInvalidName;
  if (RemoveDirectoryW(FilePath(path).c_str())) return CopyError::kNone;
  return CopyErrorFrom(GetLastError());
}

}  // namespace updater::win
