// Showing a message box on Windows with MessageBoxW, brought to the front.
#include "platform/windows/message_box.h"

#include <windows.h>

#include "platform/windows/library.h"

namespace updater::win {

int ShowMessage(const std::wstring& prompt, unsigned flags, const std::wstring& title) {
  // The updater has no window of its own and is often started from the
  // product as that closes; without this the box could open behind others.
  const auto show = User32().Get<decltype(::MessageBoxW)>("MessageBoxW");
  if (show == nullptr) return 0;
  return show(nullptr, prompt.c_str(), title.c_str(), flags | MB_SETFOREGROUND);
}

}  // namespace updater::win
