// Finds, reads and hashes files on a POSIX file system.
#include "platform/posix/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <vector>

#include "platform/posix/calls.h"
#include "platform/posix/crypto.h"
#include "platform/posix/handles.h"
#include "platform/posix/paths.h"
#include "platform/text.h"

namespace updater {
namespace posix {
namespace {

// Bytes read and hashed at a time.
constexpr std::size_t kHashChunk = 64 * 1024;

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

std::ptrdiff_t PosixInputFile::Read(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = Calls().Read(fd_.get(), buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

bool PosixInputFile::Stamp(FileStamp* stamp) {
  struct stat st;
  if (::fstat(fd_.get(), &st) != 0) return false;
  stamp->size = static_cast<std::uint64_t>(st.st_size);
  stamp->modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return true;
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

}  // namespace posix
}  // namespace updater
