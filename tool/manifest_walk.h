// A manifest read as the updater reads it, told for people: each entry's
// fate, decided by the updater's own rule, and the traps a hand-written
// manifest falls into.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "update/update.h"

namespace updater::tool {

// One entry and what the copy pass would do with it, as the updater's own
// rule decides it.
struct EntryResult {
  ManifestEntry entry;
  EntryFate fate;
};

// A manifest read from start to end as the updater's second pass reads it,
// and on past the terminator to see what follows.
struct ManifestWalk {
  bool opened = false;
  bool hasVersion = false;
  std::wstring version;
  ManifestReader::FieldInfo versionField;
  std::vector<EntryResult> entries;
  bool terminated = false;
  std::optional<ManifestEntry> cutEntry;  // the entry the end of the file cut short
  bool readFailed = false;
  Declarations declarations;  // what it says after "slut"
  std::size_t fieldsAfterTerminator = 0;
  std::size_t firstLineAfterTerminator = 0;
  bool utf8Marked = false;  // it starts with the UTF-8 byte-order mark
  // The first field whose bytes are UTF-8 beyond ASCII in a manifest
  // without the mark, which the updater reads as Windows-1252: its line
  // (0 when none) and the field as UTF-8 would give it.
  std::size_t utf8Line = 0;
  std::wstring utf8Field;
  struct UndefinedByte {
    std::size_t line;
    unsigned byte;
  };
  std::vector<UndefinedByte> undefinedBytes;
};

// Reads the manifest at `manifestPath` of `productId`; sources are looked
// for in `tempFolder` (ending in "\"), and each entry's fate is decided
// under the checksum file's verdict `payload`, as the updater does. After
// "slut", what the manifest says comes with it is no stray field.
ManifestWalk WalkManifest(Platform& platform, const std::wstring& tempFolder,
                          const std::wstring& manifestPath, const std::wstring& productId,
                          const PayloadCheck& payload);

// "line 2: "sylkum.mde" -> "Sylkum.mde": copied", "... passed over: ...";
// with `notReached`, for a run that ends before its copy pass, "not
// reached; if reached: copied".
std::wstring EntryText(const EntryResult& result, bool notReached = false);

// "line 4: "ny.dll" -> "Sy": never used: ..." for the entry the end of the
// file cut short.
std::wstring CutEntryText(const ManifestEntry& entry);

// The traps found, one sentence each; empty when there are none.
std::vector<std::wstring> ManifestProblems(const ManifestWalk& walk);

}  // namespace updater::tool
