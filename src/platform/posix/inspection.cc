// The tool's read-only looks on POSIX: whether an updater holds its claim,
// what a path names, and whether a copy could replace a file.
#include "platform/inspection.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/claim.h"
#include "platform/posix/handles.h"
#include "platform/posix/paths.h"
#include "platform/posix/registry.h"

namespace updater {
namespace posix {
namespace {

// Whether process `pid` has the file `path` open.
bool HasOpen(const std::string& pid, const std::string& path) {
  char real[PATH_MAX];
  if (!::realpath(path.c_str(), real)) return false;
  const std::string folder = "/proc/" + pid + "/fd";
  Dir dir(folder);
  if (!dir.get()) return false;
  while (const dirent* entry = ::readdir(dir.get())) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == real) return true;
  }
  return false;
}

class PosixInspection final : public Inspection {
 public:
  OpenState QueryOpen(const std::wstring& path) override {
    const std::optional<std::string> native = ResolveExisting(path);
    if (!native) return OpenState::kUnknown;
    // Every process of ours lists its open files under /proc.
    Dir proc("/proc");
    if (!proc.get()) return OpenState::kUnknown;
    const std::string self = std::to_string(::getpid());
    while (const dirent* entry = ::readdir(proc.get())) {
      const std::string pid = entry->d_name;
      if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self) {
        continue;
      }
      if (HasOpen(pid, *native)) return OpenState::kOpen;
    }
    return OpenState::kClosed;
  }

  ClaimState QueryClaim(const std::wstring& productId) override {
    const std::string path = ClaimPath(productId);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      return errno == ENOENT ? ClaimState::kFree : ClaimState::kUnknown;
    }
    // Trying the lock would hold it for a moment, long enough to turn away
    // an updater that starts just then: the kernel's list of locks tells
    // without taking one. Its lines read "1: FLOCK ADVISORY WRITE pid
    // major:minor:inode start end". The device it names is the file
    // system's own, which stat does not always give (btrfs sub-volumes,
    // overlays): a lock on the same inode of another device counts when its
    // holder has our file open.
    const std::optional<std::string> locks = ReadSmallFile("/proc/locks", kMaxRegFileBytes);
    if (!locks) return ClaimState::kUnknown;
    char device[40];
    std::snprintf(device, sizeof device, "%02x:%02x:", major(st.st_dev), minor(st.st_dev));
    const std::string inode = ":" + std::to_string(static_cast<unsigned long>(st.st_ino));
    std::size_t start = 0;
    while (start < locks->size()) {
      std::size_t end = locks->find('\n', start);
      if (end == std::string::npos) end = locks->size();
      std::vector<std::string> fields;
      for (std::size_t i = start; i < end;) {
        const std::size_t next = std::min(end, locks->find(' ', i));
        if (next > i) fields.push_back(locks->substr(i, next - i));
        i = next + 1;
      }
      start = end + 1;
      // Waiters are listed as "1: -> FLOCK ...": they hold nothing.
      if (fields.size() < 6 || fields[1] != "FLOCK") continue;
      const std::string& where = fields[5];
      if (where.size() < inode.size() ||
          where.compare(where.size() - inode.size(), inode.size(), inode) != 0) {
        continue;
      }
      if (where == device + inode.substr(1) || HasOpen(fields[4], path)) return ClaimState::kHeld;
    }
    return ClaimState::kFree;
  }

  PathKind QueryPath(const std::wstring& path) override {
    const SplitPath split = Split(path);
    if (!split.valid || HasWildcard(split.last)) return PathKind::kUnknown;
    std::string folder;
    if (!ResolveFolder(split, Lookup::kReadFolder, &folder)) {
      return errno == ENOENT || errno == ENOTDIR ? PathKind::kNothing : PathKind::kUnknown;
    }
    const std::string name = ResolveName(folder, split.last, Lookup::kReadFolder);
    struct stat st;
    if (name.empty() || ::stat(Join(folder, name).c_str(), &st) != 0) return PathKind::kNothing;
    if (S_ISDIR(st.st_mode)) return PathKind::kFolder;
    if (name[0] == '.' || !S_ISREG(st.st_mode)) return PathKind::kHiddenFile;
    return PathKind::kPlainFile;
  }

  CopyError ProbeDestination(const std::wstring& destination) override {
    const SplitPath to = Split(destination);
    if (!to.valid || to.last.empty() || HasWildcard(to.last)) return CopyError::kInvalidName;
    std::string folder;
    if (!ResolveFolder(to, Lookup::kReadFolder, &folder)) {
      return errno == ENOENT || errno == ENOTDIR ? CopyError::kFolderMissing : CopyError::kOther;
    }
    if (::access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) != 0) {
      return CopyError::kAccessDenied;
    }
    const std::string name = ResolveName(folder, to.last, Lookup::kReadFolder);
    struct stat st;
    if (!name.empty() && ::stat(Join(folder, name).c_str(), &st) == 0 &&
        (S_ISDIR(st.st_mode) || (st.st_mode & 0222) == 0)) {
      return CopyError::kAccessDenied;
    }
    return CopyError::kNone;
  }
};

}  // namespace
}  // namespace posix

Inspection& SystemInspection() {
  static posix::PosixInspection inspection;
  return inspection;
}

}  // namespace updater
