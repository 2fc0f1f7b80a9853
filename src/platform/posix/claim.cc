// Makes the claim of "one updater at a time" for a product: an exclusive
// flock on a file in the user's runtime folder.
#include "platform/posix/claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/text.h"

namespace updater {
namespace posix {

std::string ClaimPath(const std::wstring& productId) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st;
  const std::string folder =
      runtime && *runtime && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) ? runtime : "/tmp";
  return folder + "/updater-" + std::to_string(::getuid()) + "-" + EncodeUtf8(productId) + ".lock";
}

bool ClaimSingleInstance(const std::wstring& productId) {
  const std::string path = ClaimPath(productId);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return true;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return !held;
  }
  // The descriptor stays open, and the lock held, until the process ends.
  return true;
}

}  // namespace posix
}  // namespace updater
