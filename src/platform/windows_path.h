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

// A folder's path as Windows resolves its text: "/" as "\", runs of "\"
// as one, the "\\?\" (or "\\?\UNC\") prefix dropped, "." and ".."
// resolved, trailing dots and spaces of every component dropped, and one
// "\" at the end. The same folder written in any of those ways gives the
// same text; nothing is asked of the file system.
std::wstring CanonicalWindowsFolder(const std::wstring& folder);

}  // namespace updater
