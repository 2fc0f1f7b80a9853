// Reading, copying and hashing files on a POSIX file system, for the
// platform's file operations.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace updater {
namespace posix {

// The file operations of Platform, with the meaning platform.h gives them,
// on paths written with "\" and matched without regard to letter case.
FindResult FindFileName(const std::wstring& path);
FolderPlace LocateFolder(const std::wstring& path);
std::unique_ptr<InputFile> OpenFile(const std::wstring& path);
bool HashFile(const std::wstring& path, Sha256* digest);
CopyError StageCopy(const std::wstring& source, const std::wstring& destination,
                    const Sha256* expected, std::wstring* staged);
CopyError ReplaceWithStaged(const std::wstring& staged, const std::wstring& destination);
void DiscardStaged(const std::wstring& staged);

}  // namespace posix
}  // namespace updater
