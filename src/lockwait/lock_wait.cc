#include "lockwait/lock_wait.h"

namespace updater {
namespace {

// Present: the search found the lock file itself. A search that fails makes
// the wait give up, so it is reported through `failed`.
bool LockPresent(Platform& platform, const std::wstring& lockPath, const std::wstring& lockName,
                 bool* failed) {
  const FindResult found = platform.FindFileName(lockPath);
  if (!found.ok) {
    *failed = true;
    return true;
  }
  return TextEquals(platform, found.name, lockName);
}

}  // namespace

bool WaitForLockRelease(Platform& platform, const std::wstring& lockPath,
                        const std::wstring& lockName) {
  bool failed = false;
  for (int poll = 1; poll <= kLockPollCount; ++poll) {
    if (!LockPresent(platform, lockPath, lockName, &failed)) break;
    if (failed) return false;
    platform.Sleep(kLockPollIntervalMs);
  }
  // The final test is always made, so a lock file created again just after
  // the last poll still holds the update back.
  const bool present = LockPresent(platform, lockPath, lockName, &failed);
  return !present && !failed;
}

}  // namespace updater
