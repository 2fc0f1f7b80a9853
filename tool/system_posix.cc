// updater-tool on POSIX: arguments and file names are UTF-8, and so is what
// it writes.
#include <unistd.h>

#include <cerrno>

#include "platform/text.h"
#include "system.h"

namespace updater::tool {
namespace {

void WriteAll(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

void WriteOut(const std::wstring& text) { WriteAll(1, EncodeUtf8(text)); }
void WriteErr(const std::wstring& text) { WriteAll(2, EncodeUtf8(text)); }

std::filesystem::path NativePath(const std::wstring& path) {
  return std::filesystem::path(EncodeUtf8(path));
}

std::wstring TextOf(const std::filesystem::path& path) { return DecodeUtf8(path.string()); }

}  // namespace updater::tool
