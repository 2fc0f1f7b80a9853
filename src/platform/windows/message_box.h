// The message box of the Windows platform, through user32 loaded on first
// use. Private to the Windows files.
#pragma once

#include <string>

namespace updater::win {

// The platform's ShowMessage, as Platform describes it.
int ShowMessage(const std::wstring& prompt, unsigned flags, const std::wstring& title);

}  // namespace updater::win
