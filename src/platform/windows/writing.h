// Changing files and folders: the writing file operations of the Windows
// platform (new files, renames, removals, folders). The copy policy that
// uses them is the core's. Private to the Windows files.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace updater::win {

// The platform's writing file operations, as Platform describes them.
CopyError CreateNewFile(const std::wstring& path, std::unique_ptr<OutputFile>* file);
CopyError RenameFile(const std::wstring& from, const std::wstring& to, bool replace);
CopyError RemoveFile(const std::wstring& path);
CopyError MakeFolder(const std::wstring& path);
CopyError RemoveFolder(const std::wstring& path);

}  // namespace updater::win
