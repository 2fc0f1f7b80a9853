// Reads, copies and hashes files on a POSIX file system: a copy goes to a
// temporary file beside the destination and replaces it in one rename.
#include "platform/posix/files.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <vector>

#include "platform/posix/crypto.h"
#include "platform/posix/handles.h"
#include "platform/posix/paths.h"
#include "platform/staged_names.h"
#include "platform/text.h"

namespace updater {
namespace posix {
namespace {

constexpr std::size_t kCopyChunk = 64 * 1024;
// Staged names tried before a copy gives up; each is taken only when a file
// of that very name exists.
constexpr int kStagedAttempts = 8;

CopyError CopyErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return CopyError::kFolderMissing;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return CopyError::kAccessDenied;
    case ETXTBSY:
    case EBUSY:
    case EAGAIN: return CopyError::kInUse;
    case ENAMETOOLONG:
    case EILSEQ:
    case EINVAL: return CopyError::kInvalidName;
    case ENOSPC:
    case EDQUOT: return CopyError::kNoSpace;
    default: return CopyError::kOther;
  }
}

// Copies the `size` bytes of `in` to `out` inside the kernel where it can
// (copy_file_range, then sendfile), so a large payload copies as fast as cp
// and needs no buffer of ours. Some file systems end a kernel copy early
// without an error, so the bytes are counted and the rest is read and
// written; a source that turns out shorter or longer than `size` fails the
// copy. False, with errno set, on failure.
bool CopyContent(int in, int out, off_t size) {
  off_t copied = 0;
  bool kernelCopy = true;
  while (kernelCopy && copied < size) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n > 0) {
      copied += n;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n == 0 || errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
               errno == EOPNOTSUPP) {
      kernelCopy = false;
    } else {
      return false;
    }
  }
  while (copied < size) {
    const ssize_t n = ::sendfile(out, in, nullptr, 1 << 30);
    if (n > 0) {
      copied += n;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n == 0 || errno == EINVAL || errno == ENOSYS) {
      break;
    } else {
      return false;
    }
  }
  std::vector<char> buffer(kCopyChunk);
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
    copied += n;
  }
  if (copied != size) {
    errno = EIO;
    return false;
  }
  return true;
}

// Bytes read and hashed at a time, and how much a hashed copy writes before
// it starts the disk on it, so that the disk writes while the next bytes
// are hashed.
constexpr std::size_t kHashChunk = 64 * 1024;
constexpr off_t kWriteBehind = 8 * 1024 * 1024;

// Reads `in` to its end into `hasher`; false, with errno set, on failure.
bool HashAll(int in, Hasher* hasher) {
  std::vector<char> buffer(kHashChunk);
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    hasher->Add(buffer.data(), static_cast<std::size_t>(n));
  }
}

// Copies `in` to its end into `out` through our own buffer, hashing each
// byte as it is written, so that the digest is that of the copy itself: a
// source that grew or shrank since it was checked shows in the digest.
// False, with errno set, on failure.
bool CopyHashed(int in, int out, Sha256* digest) {
  Hasher hasher;
  if (!hasher.ok()) {
    errno = ENOSYS;
    return false;
  }
  std::vector<char> buffer(kHashChunk);
  off_t copied = 0;
  off_t started = 0;  // bytes whose write-out has been started
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    hasher.Add(buffer.data(), static_cast<std::size_t>(n));
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
    copied += n;
    if (copied - started >= kWriteBehind) {
      // Only a hint: where the call is not known the closing fsync does it all.
      ::sync_file_range(out, started, copied - started, SYNC_FILE_RANGE_WRITE);
      started = copied;
    }
  }
  *digest = hasher.Finish();
  return true;
}

class PosixInputFile final : public InputFile {
 public:
  explicit PosixInputFile(int fd) : fd_(fd) {}
  std::ptrdiff_t Read(char* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t n = ::read(fd_.get(), buffer, size);
      if (n >= 0 || errno != EINTR) return n;
    }
  }

 private:
  Fd fd_;
};

}  // namespace

FindResult FindFileName(const std::wstring& path) {
  FindResult result;
  const SplitPath split = Split(path);
  if (!split.valid) {
    result.ok = false;
    return result;
  }
  if (split.last.empty()) return result;
  std::string folder;
  if (!ResolveFolder(split, Lookup::kReadFolder, &folder)) {
    // A folder that does not exist holds no file; one we may not read
    // cannot be searched.
    result.ok = errno == ENOENT || errno == ENOTDIR;
    return result;
  }
  const auto plain = [&folder](const std::string& name) {
    return IsPlainFile(Join(folder, name), name);
  };
  int error = 0;
  const std::string found =
      HasWildcard(split.last) ? ScanFolder(folder, split.last, plain, &error)
                              : FindVariant(folder, split.last, plain, Lookup::kReadFolder, &error);
  if (error != 0) result.ok = error == ENOENT || error == ENOTDIR;
  result.name = DecodeUtf8(found);
  return result;
}

FolderPlace LocateFolder(const std::wstring& path) {
  FolderPlace place;
  place.path = path;
  SplitPath split = Split(path);
  if (!split.valid || HasWildcard(split.last)) return place;
  if (!split.last.empty()) split.folders.push_back(EncodeUtf8(split.last));
  std::string folder;
  struct stat st;
  if (ResolveFolder(split, Lookup::kReadFolder, &folder) &&
      ::stat(folder.empty() ? "." : folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    place.identified = true;
    place.volume = static_cast<std::uint64_t>(st.st_dev);
    place.fileId = static_cast<std::uint64_t>(st.st_ino);
  }
  return place;
}

std::unique_ptr<InputFile> OpenFile(const std::wstring& path) {
  const std::optional<std::string> native = ResolveExisting(path);
  if (!native) return nullptr;
  Fd fd(::open(native->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  return std::make_unique<PosixInputFile>(fd.release());
}

bool HashFile(const std::wstring& path, Sha256* digest) {
  const std::optional<std::string> native = ResolveExisting(path);
  if (!native) return false;
  Fd fd(::open(native->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  Hasher hasher;
  if (!hasher.ok() || !HashAll(fd.get(), &hasher)) return false;
  *digest = hasher.Finish();
  return true;
}

namespace {

// Where a copy goes: the destination's folder on disk and its name there
// (the existing file's, in whatever letter case, else the name as written).
struct Target {
  std::string folder;
  std::string name;
  std::string Path() const { return Join(folder, name); }
};

CopyError FindTarget(const std::wstring& destination, Target* target) {
  const SplitPath to = Split(destination);
  if (!to.valid || to.last.empty() || HasWildcard(to.last)) return CopyError::kInvalidName;
  if (!ResolveFolder(to, Lookup::kIndex, &target->folder)) {
    return errno == ENOENT || errno == ENOTDIR ? CopyError::kFolderMissing
                                               : CopyErrorFromErrno(errno);
  }
  target->name = ResolveName(target->folder, to.last, Lookup::kIndex);
  if (target->name.empty()) target->name = EncodeUtf8(to.last);
  return CopyError::kNone;
}

// A token for staged names, different at every call and from run to run.
std::uint32_t NextToken() {
  static std::uint32_t token = static_cast<std::uint32_t>(::getpid()) * 2654435761u ^
                               static_cast<std::uint32_t>(::time(nullptr));
  return token++;
}

// The folder made durable after a change of its entries.
void SyncFolder(const std::string& folder) {
  Fd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
}

}  // namespace

CopyError StageCopy(const std::wstring& source, const std::wstring& destination,
                    const Sha256* expected, std::wstring* staged) {
  Target target;
  const CopyError where = FindTarget(destination, &target);
  if (where != CopyError::kNone) return where;
  const std::optional<std::string> from = ResolveExisting(source);
  if (!from) return CopyError::kSourceMissing;
  // Not blocking: a FIFO in place of the source must not hang the run.
  Fd in(::open(from->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!in.valid()) return errno == ENOENT ? CopyError::kSourceMissing : CopyErrorFromErrno(errno);
  struct stat sourceStat;
  if (::fstat(in.get(), &sourceStat) != 0 || !S_ISREG(sourceStat.st_mode)) {
    return CopyError::kSourceMissing;
  }
  // A folder, or a file nobody may write (read-only, as Windows calls it),
  // is not replaced. The new file gets an existing destination's mode, else
  // a new file's: never the source's, so that a read-only payload does not
  // install read-only and block the next update.
  struct stat targetStat;
  mode_t mode = 0666;
  if (::stat(target.Path().c_str(), &targetStat) == 0) {
    if (S_ISDIR(targetStat.st_mode) || (targetStat.st_mode & 0222) == 0) {
      return CopyError::kAccessDenied;
    }
    mode = targetStat.st_mode & 07777;
  }

  // What an earlier run left beside this destination, and only that, goes.
  int error = 0;
  const std::wstring name = DecodeUtf8(target.name);
  for (const std::string& litter : Index().Staged(target.folder, &error)) {
    if (IsStagedNameOf(DecodeUtf8(litter), name) &&
        ::unlink(Join(target.folder, litter).c_str()) == 0) {
      Index().Removed(target.folder, litter);
    }
  }

  std::string temp;
  Fd out;
  for (int attempt = 0; attempt < kStagedAttempts && !out.valid(); ++attempt) {
    temp = EncodeUtf8(StagedName(name, NextToken()));
    out.reset(
        ::open(Join(target.folder, temp).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!out.valid() && errno != EEXIST) return CopyErrorFromErrno(errno);
  }
  if (!out.valid()) return CopyError::kOther;
  const std::string tempPath = Join(target.folder, temp);
  Index().Added(target.folder, temp);
  const auto abandon = [&](int failure) {
    ::unlink(tempPath.c_str());
    Index().Removed(target.folder, temp);
    return failure == ENOENT ? CopyError::kOther : CopyErrorFromErrno(failure);
  };

  // Content and modification time only; the mode was set at creation
  // (open's mode is cut by the umask; an existing destination's is put back).
  Sha256 copied;
  const bool written = (mode == 0666 || ::fchmod(out.get(), mode) == 0) &&
                       (expected != nullptr ? CopyHashed(in.get(), out.get(), &copied)
                                            : CopyContent(in.get(), out.get(), sourceStat.st_size));
  if (written && expected != nullptr && copied != *expected) {
    abandon(0);
    return CopyError::kChanged;
  }
  const timespec times[2] = {{0, UTIME_OMIT}, sourceStat.st_mtim};
  if (!written || ::futimens(out.get(), times) != 0 || ::fsync(out.get()) != 0 ||
      ::close(out.release()) != 0) {
    return abandon(errno);
  }
  *staged = DecodeUtf8(tempPath);
  return CopyError::kNone;
}

CopyError ReplaceWithStaged(const std::wstring& staged, const std::wstring& destination) {
  Target target;
  const CopyError where = FindTarget(destination, &target);
  if (where != CopyError::kNone) return where;
  const std::string temp = EncodeUtf8(staged);
  if (::rename(temp.c_str(), target.Path().c_str()) != 0) return CopyErrorFromErrno(errno);
  Index().Removed(target.folder, temp.substr(temp.find_last_of('/') + 1));
  Index().Added(target.folder, target.name);
  // The rename itself is made durable with the folder.
  SyncFolder(target.folder);
  return CopyError::kNone;
}

void DiscardStaged(const std::wstring& staged) {
  const std::string temp = EncodeUtf8(staged);
  if (::unlink(temp.c_str()) != 0) return;
  const std::size_t slash = temp.find_last_of('/');
  Index().Removed(slash == std::string::npos ? std::string() : temp.substr(0, slash),
                  temp.substr(slash + 1));
}

}  // namespace posix
}  // namespace updater
