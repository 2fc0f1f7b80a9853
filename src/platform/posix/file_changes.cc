// The file operations that change a POSIX file system (new files, renames,
// removals, folders) and the looks they need (what a path names, the free
// space, a folder's files), on paths written with "\" and matched without
// regard to letter case. Every change goes through the table of system
// calls, and is entered in the folder index.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/calls.h"
#include "platform/posix/crypto.h"
#include "platform/posix/files.h"
#include "platform/posix/handles.h"
#include "platform/posix/paths.h"
#include "platform/text.h"

namespace updater {
namespace posix {
namespace {

CopyError FromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return CopyError::kFolderMissing;
    case EACCES:
    case EPERM:
    case EROFS: return CopyError::kAccessDenied;
    case EISDIR: return CopyError::kFolderInPlace;
    case ETXTBSY:
    case EBUSY:
    case EAGAIN: return CopyError::kInUse;
    case ENAMETOOLONG:
    case EILSEQ:
    case EINVAL: return CopyError::kInvalidName;
    case ENOSPC:
    case EDQUOT: return CopyError::kNoSpace;
    case EEXIST:
    case ENOTEMPTY: return CopyError::kExists;
    default: return CopyError::kOther;
  }
}

// A path as it lies on disk: its folder, resolved in any letter case, and
// its name there (the existing entry's, in whatever letter case, else the
// name as written).
struct Place {
  std::string folder;
  std::string name;
  bool exists = false;  // an entry of that name (in any letter case) is there
  std::string Path() const { return Join(folder, name); }
};

// Finds where `path` lies; kNone, kFolderMissing or why its folder cannot be
// read; kInvalidName for a path no file can have.
CopyError Locate(const std::wstring& path, Place* place) {
  const SplitPath split = Split(path);
  if (!split.valid || split.last.empty() || HasWildcard(split.last)) return CopyError::kInvalidName;
  if (!ResolveFolder(split, Lookup::kIndex, &place->folder)) return FromErrno(errno);
  place->name = ResolveName(place->folder, split.last, Lookup::kIndex);
  place->exists = !place->name.empty();
  if (!place->exists) place->name = EncodeUtf8(split.last);
  return CopyError::kNone;
}

class PosixOutputFile final : public OutputFile {
 public:
  explicit PosixOutputFile(int fd) : fd_(fd) {}
  ~PosixOutputFile() override {
    if (fd_ >= 0) Calls().Close(fd_);
  }

  CopyError Write(const char* bytes, std::size_t size) override {
    while (size > 0) {
      const ssize_t written = Calls().Write(fd_, bytes, size);
      if (written < 0) {
        if (errno == EINTR) continue;
        return FromErrno(errno);
      }
      bytes += written;
      size -= static_cast<std::size_t>(written);
      written_ += written;
    }
    WriteBehind();
    return CopyError::kNone;
  }

  // copy_file_range from the source's descriptor, so that a large payload
  // copies as fast as cp. Some file systems end a kernel copy early without
  // an error: the rest is then read and written here.
  bool WriteFrom(InputFile& in, CopyError* error) override {
    const auto* source = dynamic_cast<PosixInputFile*>(&in);
    if (source == nullptr) return false;
    for (;;) {
      const ssize_t n = Calls().CopyRange(source->fd(), fd_, 1 << 30);
      if (n > 0) {
        written_ += n;
        WriteBehind();
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && written_ == 0 &&
          (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
        return false;  // not here: nothing was copied, the caller reads and writes
      }
      if (n < 0) {
        *error = FromErrno(errno);
        return true;
      }
      break;
    }
    char buffer[64 * 1024];
    for (;;) {
      const std::ptrdiff_t read = in.Read(buffer, sizeof buffer);
      if (read <= 0) {
        *error = read == 0 ? CopyError::kNone : CopyError::kOther;
        return true;
      }
      *error = Write(buffer, static_cast<std::size_t>(read));
      if (*error != CopyError::kNone) return true;
    }
  }

  CopyError SetModified(std::int64_t modified) override {
    const timespec times[2] = {
        {0, UTIME_OMIT},
        {static_cast<time_t>(modified / 1000000000), static_cast<long>(modified % 1000000000)}};
    return Calls().Futimens(fd_, times) == 0 ? CopyError::kNone : FromErrno(errno);
  }

  // A file system that cannot flush (EINVAL) leaves it to the system.
  CopyError Flush() override {
    return Calls().Fsync(fd_) == 0 || errno == EINVAL ? CopyError::kNone : FromErrno(errno);
  }

  CopyError Close() override {
    const int fd = fd_;
    fd_ = -1;
    return Calls().Close(fd) == 0 ? CopyError::kNone : FromErrno(errno);
  }

 private:
  // The disk starts on what is written while the next bytes come, so that
  // the flush at the end does not write a large file all at once. Only a
  // hint: where the call is not known the flush does it all.
  void WriteBehind() {
    if (written_ - started_ >= kWriteBehind) {
      ::sync_file_range(fd_, started_, written_ - started_, SYNC_FILE_RANGE_WRITE);
      started_ = written_;
    }
  }

  static constexpr off_t kWriteBehind = 8 * 1024 * 1024;
  int fd_;
  off_t written_ = 0;  // bytes written so far
  off_t started_ = 0;  // of which the disk was asked to start on so many
};

class PosixSha256 final : public Sha256Stream {
 public:
  void Add(const char* bytes, std::size_t size) override { hasher_.Add(bytes, size); }
  bool Finish(Sha256* digest) override {
    *digest = hasher_.Finish();
    return true;
  }
  bool ok() const { return hasher_.ok(); }

 private:
  Hasher hasher_;
};

std::string FolderPath(const std::string& folder) { return folder.empty() ? "." : folder; }

}  // namespace

CopyError CreateNewFile(const std::wstring& path, const std::wstring& like,
                        std::unique_ptr<OutputFile>* file) {
  Place place;
  const CopyError where = Locate(path, &place);
  if (where != CopyError::kNone) return where;
  if (place.exists) return CopyError::kExists;
  // An existing file's mode, else a new file's: never a source's, so that a
  // read-only payload does not install read-only and block the next update.
  mode_t mode = 0666;
  Place model;
  struct stat st;
  if (Locate(like, &model) == CopyError::kNone && model.exists &&
      ::stat(model.Path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    mode = st.st_mode & 07777;
  }
  const int fd = Calls().Open(place.Path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return FromErrno(errno);
  Index().Added(place.folder, place.name);
  auto out = std::make_unique<PosixOutputFile>(fd);
  // open's mode is cut by the umask; an existing file's is put back whole.
  if (mode != 0666 && Calls().Fchmod(fd, mode) != 0) {
    const CopyError error = FromErrno(errno);
    out.reset();
    Calls().Unlink(place.Path().c_str());
    Index().Removed(place.folder, place.name);
    return error;
  }
  *file = std::move(out);
  return CopyError::kNone;
}

CopyError RenameFile(const std::wstring& from, const std::wstring& to, bool replace) {
  Place source;
  Place target;
  CopyError error = Locate(from, &source);
  if (error == CopyError::kNone && !source.exists) error = CopyError::kSourceMissing;
  struct stat st;
  if (error == CopyError::kNone && Calls().Lstat(source.Path().c_str(), &st) != 0) {
    error = errno == ENOENT ? CopyError::kSourceMissing : FromErrno(errno);
  }
  if (error == CopyError::kNone && S_ISDIR(st.st_mode)) error = CopyError::kFolderInPlace;
  if (error == CopyError::kNone) error = Locate(to, &target);
  if (error != CopyError::kNone) return error;
  if (target.exists && !replace) return CopyError::kExists;
  if (Calls().Rename(source.Path().c_str(), target.Path().c_str(),
                     replace ? 0 : RENAME_NOREPLACE) != 0) {
    return FromErrno(errno);
  }
  Index().Removed(source.folder, source.name);
  Index().Added(target.folder, target.name);
  return CopyError::kNone;
}

CopyError SyncFolder(const std::wstring& path) {
  const SplitPath split = Split(path);
  std::string folder;
  if (!split.valid) return CopyError::kInvalidName;
  SplitPath whole = split;
  if (!whole.last.empty()) whole.folders.push_back(EncodeUtf8(whole.last));
  if (!ResolveFolder(whole, Lookup::kIndex, &folder)) return FromErrno(errno);
  Fd dir(Calls().Open(FolderPath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  if (!dir.valid()) return FromErrno(errno);
  return Calls().Fsync(dir.get()) == 0 || errno == EINVAL ? CopyError::kNone : FromErrno(errno);
}

CopyError RemoveFile(const std::wstring& path) {
  Place place;
  const CopyError where = Locate(path, &place);
  if (where == CopyError::kFolderMissing || (where == CopyError::kNone && !place.exists)) {
    return CopyError::kNone;
  }
  if (where != CopyError::kNone) return where;
  if (Calls().Unlink(place.Path().c_str()) != 0 && errno != ENOENT) return FromErrno(errno);
  Index().Removed(place.folder, place.name);
  return CopyError::kNone;
}

CopyError MakeFolder(const std::wstring& path) {
  Place place;
  const CopyError where = Locate(path, &place);
  if (where != CopyError::kNone) return where;
  if (place.exists) return CopyError::kExists;
  if (Calls().Mkdir(place.Path().c_str(), 0777) != 0) return FromErrno(errno);
  Index().Added(place.folder, place.name);
  return CopyError::kNone;
}

CopyError RemoveFolder(const std::wstring& path) {
  Place place;
  const CopyError where = Locate(path, &place);
  if (where != CopyError::kNone) return where;
  if (!place.exists) return CopyError::kFolderMissing;
  if (Calls().Rmdir(place.Path().c_str()) != 0) return FromErrno(errno);
  Index().Removed(place.folder, place.name);
  Index().ForgetResolved();
  return CopyError::kNone;
}

bool FreeSpace(const std::wstring& path, std::uint64_t* bytes) {
  SplitPath split = Split(path);
  if (!split.valid) return false;
  if (!split.last.empty()) split.folders.push_back(EncodeUtf8(split.last));
  std::string folder;
  struct statvfs info;
  if (!ResolveFolder(split, Lookup::kIndex, &folder) ||
      Calls().Statvfs(FolderPath(folder).c_str(), &info) != 0) {
    return false;
  }
  *bytes = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
  return true;
}

PathType TypeOf(const std::wstring& path) {
  Place place;
  const CopyError where = Locate(path, &place);
  if (where == CopyError::kFolderMissing) return PathType::kMissing;
  if (where != CopyError::kNone) return PathType::kUnknown;
  if (!place.exists) return PathType::kMissing;
  struct stat st;
  if (Calls().Lstat(place.Path().c_str(), &st) != 0) {
    return errno == ENOENT ? PathType::kMissing : PathType::kUnknown;
  }
  if (S_ISLNK(st.st_mode)) return PathType::kLink;
  if (S_ISDIR(st.st_mode)) return PathType::kFolder;
  if (!S_ISREG(st.st_mode)) return PathType::kUnknown;
  return (st.st_mode & 0222) == 0 ? PathType::kReadOnlyFile : PathType::kFile;
}

bool ListFiles(const std::wstring& pattern, std::vector<std::wstring>* names) {
  const SplitPath split = Split(pattern);
  if (!split.valid) return false;
  std::string folder;
  if (!ResolveFolder(split, Lookup::kIndex, &folder)) return errno == ENOENT || errno == ENOTDIR;
  int error = 0;
  const std::vector<std::string> found = Index().Matching(folder, split.last, &error);
  if (error != 0) return false;
  for (const std::string& name : found) {
    struct stat st;
    if (::lstat(Join(folder, name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      names->push_back(DecodeUtf8(name));
    }
  }
  return true;
}

std::unique_ptr<Sha256Stream> StartSha256() {
  auto stream = std::make_unique<PosixSha256>();
  if (!stream->ok()) return nullptr;
  return stream;
}

}  // namespace posix
}  // namespace updater
