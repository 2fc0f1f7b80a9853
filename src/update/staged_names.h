// The names of the files the copies keep beside a destination: the staged
// new file before it is renamed in, and (in an update that lands whole) the
// old file moved aside until the update has landed. One rule for the whole
// program, so that a run finds and removes exactly the files an earlier run
// left behind (killed, or with the power gone), and never a file of the
// product's: "<name>.<8 hex digits>.updater-tmp" and
// "<name>.<8 hex digits>.updater-old", or, where that would pass the longest
// name a file system takes, "~<16 hex digits>" in place of the name, drawn
// from the name.
#pragma once

#include <cstdint>
#include <string>

namespace updater {

// The staged file's name for the destination file name `name` (its last
// component), with `token` telling apart the attempts of one run.
std::wstring StagedName(const std::wstring& name, std::uint32_t token);

// The name the old file `name` is moved aside to while an update lands.
std::wstring AsideName(const std::wstring& name, std::uint32_t token);

// True when `candidate` is a name StagedName gives for `name` with any
// token, `name` matched without regard to letter case.
bool IsStagedNameOf(const std::wstring& candidate, const std::wstring& name);

// True when `candidate` is a name AsideName gives for `name`.
bool IsAsideNameOf(const std::wstring& candidate, const std::wstring& name);

// True when `candidate` is a name StagedName or AsideName gives for `name`.
bool IsLeftoverOf(const std::wstring& candidate, const std::wstring& name);

// The wildcard pattern that matches every name StagedName and AsideName give
// for `name` (and may match more: IsLeftoverOf tells).
std::wstring LeftoverPattern(const std::wstring& name);

// True when `candidate` ends as every staged file's name does.
bool LooksStaged(const std::wstring& candidate);

// True when `candidate` ends as every staged or moved-aside file's name does.
bool LooksLeftover(const std::wstring& candidate);

}  // namespace updater
