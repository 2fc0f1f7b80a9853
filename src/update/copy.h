// One payload file copied into place: written once beside its destination,
// then renamed over it, the rename (and only the rename) tried again while a
// program holds the destination for a moment.
#pragma once

#include <string>

#include "platform/platform.h"

namespace updater {

// A virus scanner or indexer often holds a freshly written file for a
// moment: a rename that finds the destination busy is tried again this many
// times, this long apart.
constexpr int kBusyRetries = 5;
constexpr unsigned kBusyRetryPauseMs = 200;

// Copies `source` over `destination` (held to `expected` when given): the
// destination holds its old or its whole new content, and no temporary file
// is left behind; kNone, or why it failed.
CopyError CopyIntoPlace(Platform& platform, const std::wstring& source,
                        const std::wstring& destination, const Sha256* expected);

}  // namespace updater
