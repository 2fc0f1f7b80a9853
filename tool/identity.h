// Which updater build the tool speaks for: its product, its display name
// and whether it takes only signed updates (and by which keys). The answers
// of check and explain depend on it, so they say it first.
#pragma once

#include <string>

#include "platform/platform.h"
#include "update/update.h"

namespace updater::tool {

// "signed build (keys: 0123456789abcdef, ...)" or "unsigned build".
std::wstring SigningText(Platform& platform, const BuildConstants& build);

// The line that names the build: "Build: OrvakBK ("Verazuzoduvuzo"),
// unsigned build"; with `keysGiven`, the keys came from --key and stand in
// for the build's own.
std::wstring BuildLine(Platform& platform, const BuildConstants& build, bool keysGiven = false);

// What `updater-tool --version` prints.
std::wstring VersionText(Platform& platform, const BuildConstants& build);

}  // namespace updater::tool
