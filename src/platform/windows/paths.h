// The checks made on a caller's path before any file call, and the form of
// the path handed to the file calls. Private to the Windows files.
#pragma once

#include <string>

namespace updater::win {

// True when `text` holds a NUL, at which a Win32 call would end it early.
bool HasNul(const std::wstring& text);

// True when `path` holds a character no file or folder name can have, so no
// search could match it: a control character or "|" anywhere, or a wildcard
// ("*", "?", and "<", ">", '"', which FindFirstFileW also takes as wildcards)
// in a folder component. Windows refuses such a path as an invalid name; we
// check ourselves so the answer does not depend on how the file system below
// words its refusal.
bool HasInvalidNameCharacter(const std::wstring& path);

// The form of `path` to hand to the file calls. A long absolute path gets the
// \\?\ (or \\?\UNC\) prefix so that it is not cut at MAX_PATH, also on
// Windows without long-path support switched on. That prefix also switches
// off the clean-up Windows does to plain paths, so the path is first made
// full by GetFullPathNameW, which does exactly that clean-up: / becomes \,
// doubled \ are collapsed (the temp folder from the environment may end in
// one before we add ours), "." and ".." components are resolved and trailing
// dots and spaces are dropped. A path is then the same file in both forms.
// Shorter and relative paths are passed unchanged.
std::wstring FilePath(const std::wstring& path);

}  // namespace updater::win
