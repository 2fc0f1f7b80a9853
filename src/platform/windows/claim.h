// The name of the mutex by which one updater at a time claims a product,
// shared by the claim itself and the tool's look at it. Private to the
// Windows files.
#pragma once

#include <string>

namespace updater::win {

// The mutex of "one updater at a time" for `productId`.
inline std::wstring ClaimName(const std::wstring& productId) {
  return L"Local\\Zorbe IT updater " + productId;
}

}  // namespace updater::win
