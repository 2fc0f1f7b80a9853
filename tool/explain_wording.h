// What explain finds, told in words: registry values, the lock file and a
// destination's state, and what to do about a destination.
#pragma once

#include <cstdint>
#include <string>

#include "lockwait/lock_wait.h"
#include "platform/inspection.h"
#include "update/registry_lookup.h"
#include "update/update.h"

namespace updater::tool {

// A registry type's name ("REG_SZ").
std::wstring TypeName(std::uint32_t type);

// A registry value as read: "REG_SZ "5.20"", "missing" ...
std::wstring ValueText(const LookupTrace::Read& read);

// The lock file's state: a sentence, and one word for --json.
std::wstring LockText(LockState lock, OpenState held);
std::wstring LockWord(LockState lock, OpenState held);

// Whether a destination can be written now, and what to do when not.
std::wstring ProbeText(CopyError error);
std::wstring ProbeAdvice(CopyError error);

}  // namespace updater::tool
