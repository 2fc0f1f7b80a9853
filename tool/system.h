// What updater-tool needs of the system beyond the updater's platform: its
// command line, its output, and file names for the file-system library. One
// of system_windows.cc and system_posix.cc realises it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace updater::tool {

// Writes `text` to standard output (or standard error): through the wide
// console calls on a Windows console, as UTF-8 to a file, a pipe or a POSIX
// terminal. "\n" ends a line; on Windows it goes out as CR LF.
void WriteOut(const std::wstring& text);
void WriteErr(const std::wstring& text);

// A path of ours as the file-system library takes it, and back.
std::filesystem::path NativePath(const std::wstring& path);
std::wstring TextOf(const std::filesystem::path& path);

// The tool's entry, given the arguments after the program's name; returns
// the exit status.
int RunTool(const std::vector<std::wstring>& arguments);

}  // namespace updater::tool
