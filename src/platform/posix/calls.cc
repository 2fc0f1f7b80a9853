// The real system calls behind the POSIX platform's table.
#include "platform/posix/calls.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace updater {
namespace posix {
namespace {

int OpenCall(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

// renameat2 through syscall(): older C libraries do not wrap it. Where the
// kernel or the file system does not know RENAME_NOREPLACE, the test for
// an existing name and the rename are two steps; only the updater writes to
// the install folder while it runs.
int RenameCall(const char* from, const char* to, unsigned flags) {
  if (flags == 0) return ::rename(from, to);
#ifdef SYS_renameat2
  const long done = ::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, flags);
  if (done == 0 || (errno != EINVAL && errno != ENOSYS)) return static_cast<int>(done);
#endif
  struct stat st;
  if (::lstat(to, &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::rename(from, to);
}

int StatvfsCall(const char* path, struct statvfs* info) { return ::statvfs(path, info); }
int LstatCall(const char* path, struct stat* info) { return ::lstat(path, info); }
ssize_t CopyRangeCall(int in, int out, size_t size) {
  return ::copy_file_range(in, nullptr, out, nullptr, size, 0);
}

const SystemCalls kReal = {
    OpenCall,   ::read,   ::write, ::fsync, ::close,     ::futimens, ::fchmod,
    RenameCall, ::unlink, ::mkdir, ::rmdir, StatvfsCall, LstatCall,  CopyRangeCall,
};

}  // namespace

SystemCalls& Calls() {
  static SystemCalls calls = kReal;
  return calls;
}

const SystemCalls& RealCalls() { return kReal; }

}  // namespace posix
}  // namespace updater
