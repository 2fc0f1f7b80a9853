// The names of the temporary files a copy writes beside its destination
// before it renames one over it. One rule for every realisation of the
// platform, so that a run finds and removes exactly the files an earlier
// run left behind (killed, or with the power gone), and never a file of the
// product's: "<name>.<8 hex digits>.updater-tmp", or, where that would pass
// the longest name a file system takes, "~<16 hex digits>.<8 hex
// digits>.updater-tmp" with the first digits drawn from the name.
#pragma once

#include <cstdint>
#include <string>

namespace updater {

// The staged file's name for the destination file name `name` (its last
// component), with `token` telling apart the attempts of one run.
std::wstring StagedName(const std::wstring& name, std::uint32_t token);

// True when `candidate` is a name StagedName gives for `name` with any
// token, `name` matched without regard to letter case.
bool IsStagedNameOf(const std::wstring& candidate, const std::wstring& name);

// The wildcard pattern that matches every name StagedName gives for `name`
// (and may match more: IsStagedNameOf tells).
std::wstring StagedPattern(const std::wstring& name);

// True when `candidate` ends as every staged file's name does.
bool LooksStaged(const std::wstring& candidate);

}  // namespace updater
