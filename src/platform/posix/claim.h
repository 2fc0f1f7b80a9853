// The claim of "one updater at a time" on POSIX: a lock file held with
// flock until the process ends.
#pragma once

#include <string>

namespace updater {
namespace posix {

// Where the claim of "one updater at a time" is made for `productId`.
std::string ClaimPath(const std::wstring& productId);

// Platform::ClaimSingleInstance: takes the lock of ClaimPath(productId).
bool ClaimSingleInstance(const std::wstring& productId);

}  // namespace posix
}  // namespace updater
