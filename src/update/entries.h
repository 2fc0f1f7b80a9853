// The rules for one entry of the manifest's list: its source's presence
// test, its destination's safety, and its fate in the copy pass.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"
#include "update/checksums.h"
#include "update/listing.h"

namespace updater {

// Why a destination name from the manifest is refused before anything is
// written; kNone when it names a file inside the install folder.
enum class DestinationFault {
  kNone,
  kEmpty,               // no name at all
  kRooted,              // starts with "\" or "/": the root of the drive
  kDriveOrStream,       // a ":" (a drive, or an alternate data stream)
  kForbiddenCharacter,  // < > " | ? * or a control character
  kEmptyComponent,      // a doubled or trailing separator
  kClimbs,              // ".." or another component of dots and spaces only
  kDeviceName,          // CON, NUL, COM1 and the like, with any extension
};

DestinationFault CheckDestination(const std::wstring& destinationName);

// True when CheckDestination finds nothing against the name.
bool IsSafeDestination(const std::wstring& destinationName);

// What the presence test of an entry's source found in the temporary folder.
// Only kPresent and kUnknown lead to a copy. A source that is empty, has a
// folder part or holds wildcards is passed over before the test is asked:
// the test gives a bare name that can never match such a source, and a test
// that cannot be made must not let one through.
enum class SourceFate {
  kPresent,     // the file is there under that name
  kUnknown,     // the folder could not be searched: the copy decides
  kEmpty,       // the source field is empty
  kFolderPart,  // the name has a folder part, which the test never matches
  kWildcard,    // the name is a pattern, not the name of the file it finds
  kMissing,     // no such file (or only a hidden one, or a folder)
};

SourceFate TestSource(Platform& platform, const std::wstring& tempFolder,
                      const std::wstring& source);

// What TestSource decides from the name alone: kEmpty, kFolderPart or
// kWildcard for a source the presence test can never match; no value for a
// bare file name, which only the test can decide.
std::optional<SourceFate> SourceFateByName(const std::wstring& source);

// What the copy pass does with one entry.
enum class EntryAction {
  kPassOver,  // the source is not there under its name: no copy, no trace
  kRefuse,    // the destination is refused: listed as not updated
  kHoldBack,  // the checksum file does not vouch for the source: listed as
              // not updated
  kCopy,      // copied, held to `expected` when the checksum file vouches
};

// An entry's fate in the copy pass, and why.
struct EntryFate {
  EntryAction action = EntryAction::kPassOver;
  SourceFate source = SourceFate::kMissing;                // the presence test
  DestinationFault destination = DestinationFault::kNone;  // kEmpty: none given
  const Sha256* expected = nullptr;                        // the digest the copy is held to
  // Why a refused or held-back entry is listed as not updated.
  CopyError refusal = CopyError::kNone;
};

// The one rule of the copy pass for `entry`, whose source lies in
// `tempFolder`, under the checksum file's verdict `payload`. Under a
// checksum file a source checked then is copied even when it seems gone
// (the copy then tells it), and one not checked is held back.
EntryFate DecideEntry(Platform& platform, const std::wstring& tempFolder,
                      const ManifestEntry& entry, const PayloadCheck& payload);

}  // namespace updater
