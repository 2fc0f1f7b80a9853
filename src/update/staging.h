// The one copy policy of the program, over the platform's small file
// operations: a payload file is written beside its destination under a
// staged name and forced to the disk, renames that meet a busy file are
// tried again, and what an earlier run left beside a destination is removed.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace updater {

// A virus scanner or indexer often holds a freshly written file for a
// moment: a rename that finds a file busy is tried again this many times,
// this long apart.
constexpr int kBusyRetries = 5;
constexpr unsigned kBusyRetryPauseMs = 200;

// The folder part of `path` with its last separator (empty when none), and
// its last component.
std::wstring FolderOf(const std::wstring& path);
std::wstring NameOf(const std::wstring& path);

// Removes the staged and moved-aside files an earlier run left beside
// `destination`, and nothing else; an old file moved aside whose
// destination is missing (a run killed between its two renames) is put
// back instead.
void RemoveLeftovers(Platform& platform, const std::wstring& destination);

// Writes the content of `source`, read once, to a new file beside
// `destination` under a staged name, with the source's last-write time and
// (where the system keeps modes) an existing destination's mode, forced to
// the disk. With `expected`, the bytes are hashed as they are written and
// kChanged when they are not those. kNone and the staged file's path in
// `staged`; otherwise why not, and nothing is left behind.
CopyError StageFile(Platform& platform, const std::wstring& source, const std::wstring& destination,
                    const Sha256* expected, std::wstring* staged);

// Renames `from` to `to` (see Platform::RenameFile), tried again while a
// program holds either file.
CopyError RenameRetrying(Platform& platform, const std::wstring& from, const std::wstring& to,
                         bool replace);

// A new name beside `path` made by `name` (StagedName or AsideName) from a
// token, different at each call of the run.
std::wstring BesideName(const std::wstring& path,
                        std::wstring (*name)(const std::wstring&, std::uint32_t));

}  // namespace updater
