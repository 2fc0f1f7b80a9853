// One payload file copied into place on its own, as an update without the
// declaration that it lands whole is applied: written once beside its
// destination, then renamed over it, the rename (and only the rename) tried
// again while a program holds the destination for a moment.
#pragma once

#include <string>

#include "platform/platform.h"

namespace updater {

// Copies `source` over `destination` (held to `expected` when given): the
// destination holds its old or its whole new content, and no staged file is
// left behind; kNone, or why it failed.
CopyError CopyIntoPlace(Platform& platform, const std::wstring& source,
                        const std::wstring& destination, const Sha256* expected);

}  // namespace updater
