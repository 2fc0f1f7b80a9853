// The version test told for people, beside what the numbers of two
// versions say of their order.
#pragma once

#include <optional>
#include <string>

#include "update/update.h"

namespace updater::tool {

// What the numbers say of version `a` against `b` (5.19 before 5.2, 5.3.1
// before 5.3.2, 5.20 the same as 5.2): negative, 0 or positive; no value
// when either is not made of numbers alone.
std::optional<int> NumberOrder(const std::wstring& a, const std::wstring& b);

// The version test told: "5,3 sorts after 5,2", "10 sorts before 9,5: 10
// sorts before 9 as text"; `offered` and `registryVersion` as the manifest
// and the registry give them.
std::wstring VersionVerdict(const VersionTest& test, const std::wstring& offered,
                            const std::wstring& registryVersion);

}  // namespace updater::tool
