// Finding, reading, hashing and copying files: the file operations of the
// Windows platform, and the reading of Windows errors that the tool's looks
// share. Private to the Windows files.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "platform/platform.h"

namespace updater::win {

// The reason for a failed copy that the Windows error `error` stands for.
CopyError CopyErrorFrom(DWORD error);

// True when `error` says the file, or a folder on its path, does not exist.
bool IsNotFound(DWORD error);

// The platform's file operations, as Platform describes them.
FindResult FindFileName(const std::wstring& path);
FolderPlace LocateFolder(const std::wstring& path);
std::unique_ptr<InputFile> OpenFile(const std::wstring& path);
bool HashFile(const std::wstring& path, Sha256* digest);
CopyError StageCopy(const std::wstring& source, const std::wstring& destination,
                    const Sha256* expected, std::wstring* staged);
CopyError ReplaceWithStaged(const std::wstring& staged, const std::wstring& destination);
void DiscardStaged(const std::wstring& staged);

}  // namespace updater::win
