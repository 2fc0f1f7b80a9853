// The forms of Windows paths, told from their text alone. Used by the
// Windows platform and by the test platform that plays Windows, so that both
// judge a path the same way; nothing here asks the system.
#pragma once

#include <string>

namespace updater {

// "\" or "/", the two separators Windows takes.
bool IsWindowsSeparator(wchar_t c);

// "X:\..." or "X:/...": a drive letter with its root.
bool IsWindowsDriveAbsolute(const std::wstring& path);

// "\\server\share..." (either separator), but not the device forms
// "\\?\..." and "\\.\...".
bool IsWindowsUncPath(const std::wstring& path);

// A path that names the same place whatever the current folder and drive:
// a drive with its root, or a share with a server and a share name, also
// behind the "\\?\" prefix ("\\?\C:\...", "\\?\UNC\server\share..."). A
// path relative to the current folder ("Sylkum"), to the current folder of a
// drive ("C:Sylkum") or to the current drive's root ("\Sylkum") is not.
bool IsWindowsAbsolutePath(const std::wstring& path);

}  // namespace updater
