// The pieces that check's and explain's --json documents share: the build
// they speak for and an entry of the list. The README gives the shape; it
// is kept stable, so members are only ever added.
#pragma once

#include <string>

#include "json.h"
#include "manifest_walk.h"
#include "platform/platform.h"
#include "update/update.h"

namespace updater::tool {

// "build": {"product", "displayName", "signed", "keys": [fingerprints],
// "keysGiven"}.
void WriteBuildJson(JsonWriter& json, Platform& platform, const BuildConstants& build,
                    bool keysGiven);

// The fate of an entry in one word: "copied", "passed over", "refused" or
// "held back" (not vouched for by the checksum file).
std::wstring FateWord(EntryAction action);

// Opens an entry's object and writes {"line", "source", "destination"
// (null when the file ends first), "fate", "reached", "text"}; the caller
// may add members and must close it.
void BeginEntryJson(JsonWriter& json, const EntryResult& result, bool reached,
                    const std::wstring& text);

}  // namespace updater::tool
