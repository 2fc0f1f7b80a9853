// What the updater would make of a manifest, told for people: each entry's
// fate and the traps a hand-written manifest falls into. Everything is
// decided by the updater's own code (reader, presence test, destination
// rules, version test); this only reads and words it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/inspection.h"
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
  bool readFailed = false;
  std::size_t fieldsAfterTerminator = 0;
  std::size_t firstLineAfterTerminator = 0;
  std::size_t loneLineEnds = 0;
  std::size_t firstLoneLineEnd = 0;
  struct UndefinedByte {
    std::size_t line;
    unsigned byte;
  };
  std::vector<UndefinedByte> undefinedBytes;
};

// Reads the manifest at `manifestPath`; sources are looked for in
// `tempFolder` (ending in "\"), and each entry's fate is decided under the
// checksum file's verdict `payload`, as the updater does.
ManifestWalk WalkManifest(Platform& platform, const std::wstring& tempFolder,
                          const std::wstring& manifestPath, const PayloadCheck& payload);

// "line 2: "sylkum.mde" -> "Sylkum.mde": copied", "... passed over: ...".
std::wstring EntryText(const EntryResult& result);

// The traps found, one sentence each; empty when there are none.
std::vector<std::wstring> ManifestProblems(const ManifestWalk& walk);

// The version test told: "5,3 sorts after 5,2", "10 sorts before 9,5: 10
// sorts before 9 as text"; `offered` and `registryVersion` as the manifest
// and the registry give them.
std::wstring VersionVerdict(const VersionTest& test, const std::wstring& offered,
                            const std::wstring& registryVersion);

// The payload held against its checksum file, told for people: the line to
// print ("Checksum file: ...") and each thing that keeps the updater from
// offering the update, one sentence each.
struct PayloadReport {
  std::wstring text;
  std::vector<std::wstring> problems;
};

PayloadReport ReportPayload(const PayloadCheck& check, const std::wstring& checksumPath);

// What `check` prints and its exit status: 0 when every entry would be
// copied and nothing is reported, 1 when something is, 2 when the folder or
// its manifest cannot be read.
struct CheckOutcome {
  std::wstring text;
  int status = 2;
};

CheckOutcome CheckFolder(Platform& platform, Inspection& inspection, const BuildConstants& build,
                         const std::wstring& folder, const std::vector<std::wstring>& installed);

// `text` in double quotes, a control character shown as its number ("<81>")
// so that it can neither break the output nor hide.
std::wstring QuotedText(const std::wstring& text);

// `text` with each control character shown as its number, for paths and
// other text printed without quotes.
std::wstring ShownText(const std::wstring& text);

// Why a path holds no manifest the updater would read ("it is hidden").
std::wstring WhyNotFound(PathKind kind);

}  // namespace updater::tool
