// The checksum file of an update folder, written by the maker's tool: by
// pack for a new update, and by seal for one edited by hand.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "keys.h"
#include "platform/inspection.h"
#include "platform/platform.h"
#include "update/update.h"

namespace updater::tool {

// Writes the checksum file of `productId` into `folder`: a line for each
// (name, file) pair, the digest of the file `file` in `folder` listed under
// `name`. The file is written under a passing name and renamed, so that the
// folder never holds half a checksum file. False, with the name of the file
// that could not be read (or the checksum file's own) in `failedAt`, when it
// cannot be written; the folder is then as it was.
bool WriteChecksumFile(Platform& platform, const std::wstring& folder,
                       const std::wstring& productId,
                       const std::vector<std::pair<std::wstring, std::wstring>>& files,
                       std::wstring* failedAt);

struct SealOutcome {
  std::wstring text;  // what to print
  int status = 2;     // as check's; 2 also when nothing could be written
};

// Seals the update in `folder` again after a hand edit: writes its checksum
// file anew for the manifest and every source the updater would copy (and,
// with `key`, signs it again), then checks the folder as `check` does.
// Without `key`, a folder that holds a signature is refused and left as it
// was, for the new checksum file would no longer match that signature;
// with `dropSignature` the signature is removed instead.
SealOutcome Seal(Platform& platform, Inspection& inspection, const BuildConstants& build,
                 const std::wstring& folder, const MakerKey* key = nullptr,
                 bool dropSignature = false);

}  // namespace updater::tool
