// Waiting for the product to close: the product keeps a lock file in its
// install folder while it runs, and nothing may be copied while it is there.
#pragma once

#include <string>

#include "build_config.h"
#include "platform/platform.h"

namespace updater {

// How long the wait lasts: kLockPollCount presence tests, with a pause of
// kLockPollIntervalMs after each test that still finds the file (ten minutes
// in all). The count is a build setting so that the end-to-end test build
// can shorten it; every other build keeps 1500.
constexpr int kLockPollCount = kBuildLockPollCount;
constexpr unsigned kLockPollIntervalMs = 400;

// What one presence test of the lock file finds.
enum class LockState { kAbsent, kPresent, kUnknown /* the test failed */ };

LockState LockFileState(Platform& platform, const std::wstring& lockPath,
                        const std::wstring& lockName);

// Polls until the file `lockPath` (bare name `lockName`) is gone or the time
// is up. True when the final test no longer finds the file; false when it
// still does, or when a presence test fails.
bool WaitForLockRelease(Platform& platform, const std::wstring& lockPath,
                        const std::wstring& lockName);

}  // namespace updater
