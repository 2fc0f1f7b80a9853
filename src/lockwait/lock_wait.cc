// The wait for the product to close: polling for its lock file.
#include "lockwait/lock_wait.h"

namespace updater {
LockState LockFileState(Platform& platform, const std::wstring& lockPath,
                        const std::wstring& lockName) {
  const FindResult found = platform.FindFileName(lockPath);
  if (!found.ok) return LockState::kUnknown;
  return TextEquals(platform, found.name, lockName) ? LockState::kPresent : LockState::kAbsent;
}

bool WaitForLockRelease(Platform& platform, const std::wstring& lockPath,
                        const std::wstring& lockName) {
  // A presence test that fails makes the wait give up.
  for (int poll = 1; poll <= kLockPollCount; ++poll) {
    const LockState state = LockFileState(platform, lockPath, lockName);
    if (state == LockState::kAbsent) break;
    if (state == LockState::kUnknown) return false;
    platform.Sleep(kLockPollIntervalMs);
  }
  // The final test is always made, so a lock file created again just after
  // the last poll still holds the update back.
  return LockFileState(platform, lockPath, lockName) == LockState::kAbsent;
}

}  // namespace updater
