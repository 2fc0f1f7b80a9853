// Message boxes of the POSIX platform, shown on the controlling terminal.
#pragma once

#include <string>

namespace updater {
namespace posix {

// Platform::ShowMessage on /dev/tty: the title, the icon as "(x)", "(!)" or
// "(i)", the prompt, and the buttons answered by a typed line; 0 when there
// is no terminal or it ends.
int ShowMessage(const std::wstring& prompt, unsigned flags, const std::wstring& title);

}  // namespace posix
}  // namespace updater
