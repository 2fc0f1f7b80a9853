// Finding, looking at, reading and hashing files: the read-only file
// operations of the Windows platform, and the reading of Windows errors that
// the writing operations and the tool's looks share. Private to the Windows
// files.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace updater::win {

// The reason for a failed copy that the Windows error `error` stands for.
CopyError CopyErrorFrom(DWORD error);

// True when `error` says the file, or a folder on its path, does not exist.
bool IsNotFound(DWORD error);

// The platform's read-only file operations, as Platform describes them.
FindResult FindFileName(const std::wstring& path);
FolderPlace LocateFolder(const std::wstring& path);
std::unique_ptr<InputFile> OpenFile(const std::wstring& path);
bool HashFile(const std::wstring& path, Sha256* digest);
std::unique_ptr<Sha256Stream> StartSha256();
PathType TypeOf(const std::wstring& path);
bool ListFiles(const std::wstring& pattern, std::vector<std::wstring>* names);
bool FreeSpace(const std::wstring& path, std::uint64_t* bytes);

}  // namespace updater::win
