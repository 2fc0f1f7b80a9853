// The system calls through which the POSIX platform changes files, in a
// table a test may change one entry of at a time, so that the platform's
// own error paths run in the tests (each entry fails as the system would,
// with errno set), not only a fake's.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>

namespace updater {
namespace posix {

struct SystemCalls {
  int (*Open)(const char* path, int flags, mode_t mode);
  ssize_t (*Read)(int fd, void* buffer, size_t size);
  ssize_t (*Write)(int fd, const void* buffer, size_t size);
  int (*Fsync)(int fd);
  int (*Close)(int fd);
  int (*Futimens)(int fd, const timespec times[2]);
  int (*Fchmod)(int fd, mode_t mode);
  // renameat2's flags: 0, or RENAME_NOREPLACE.
  int (*Rename)(const char* from, const char* to, unsigned flags);
  int (*Unlink)(const char* path);
  int (*Mkdir)(const char* path, mode_t mode);
  int (*Rmdir)(const char* path);
  int (*Statvfs)(const char* path, struct statvfs* info);
  int (*Lstat)(const char* path, struct stat* info);
  // copy_file_range without offsets: up to `size` bytes from `in` to `out`.
  ssize_t (*CopyRange)(int in, int out, size_t size);
};

// The table in use: the real calls unless a test changed an entry (and it
// puts the real one back when done).
SystemCalls& Calls();
// The real calls.
const SystemCalls& RealCalls();

}  // namespace posix
}  // namespace updater
