// Shows the updater's message boxes on the controlling terminal and reads
// the answer typed there.
#include "platform/posix/boxes.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/handles.h"
#include "platform/text.h"

namespace updater {
namespace posix {
namespace {

bool WriteAll(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// One line typed at the terminal; false at its end or on an error.
bool ReadLine(int fd, std::string* line) {
  line->clear();
  for (;;) {
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n' || c == '\r') return true;
    line->push_back(c);
  }
}

}  // namespace

int ShowMessage(const std::wstring& prompt, unsigned flags, const std::wstring& title) {
  Fd tty(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
  if (!tty.valid()) return 0;
  std::wstring text;
  for (std::size_t i = 0; i < prompt.size(); ++i) {
    if (prompt[i] == L'\r' && i + 1 < prompt.size() && prompt[i + 1] == L'\n') continue;
    text.push_back(prompt[i]);
  }
  const char* icon = "";
  switch (flags & 0xF0) {
    case kMbIconError: icon = "(x) "; break;
    case kMbIconWarning: icon = "(!) "; break;
    case kMbIconInformation: icon = "(i) "; break;
    default: break;
  }
  const bool yesNo = (flags & 0x0F) == kMbYesNo;
  std::string box = "\n=== " + EncodeUtf8(title) + " ===\n" + icon + EncodeUtf8(text) + "\n";
  if (!WriteAll(tty.get(), box)) return 0;
  const std::string buttons = yesNo ? "[Ja / Nej] (j/n): " : "[OK] (Enter): ";
  for (;;) {
    if (!WriteAll(tty.get(), buttons)) return 0;
    std::string line;
    if (!ReadLine(tty.get(), &line)) return 0;
    if (!yesNo) return kIdOk;
    const std::size_t first = line.find_first_not_of(" \t");
    if (first != std::string::npos) {
      if (line[first] == 'j' || line[first] == 'J') return kIdYes;
      if (line[first] == 'n' || line[first] == 'N') return kIdNo;
    }
  }
}

}  // namespace posix
}  // namespace updater
