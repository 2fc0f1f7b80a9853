// `updater-tool pack`: builds an update from a folder laid out as the
// install folder should look after it.
#pragma once

#include <string>

#include "keys.h"
#include "platform/inspection.h"
#include "platform/platform.h"
#include "update/update.h"

namespace updater::tool {

struct PackOutcome {
  std::wstring text;  // what to print
  int status = 2;     // 0 packed and checked clean; 1 refused or the check
                      // reported something; 2 the folders cannot be used
};

// Writes into `out` (absent or empty) the manifest of `version` and, flat,
// the payload of every file under `tree`; nothing is written when any file
// could not be installed by the updater. Then checks `out` as `check` does.
PackOutcome Pack(Platform& platform, Inspection& inspection, const BuildConstants& build,
                 const std::wstring& version, const std::wstring& tree, const std::wstring& out,
                 const MakerKey* key = nullptr);

// The manifest text for `version` and the (source, destination) pairs:
// Windows-1252 bytes, CR LF line ends, fields quoted where they must be,
// "slut", then the declaration that the update lands whole or not at all,
// the checksum file of `productId` that comes with it and, for a signed
// update, its signature.
std::string ManifestBytes(const std::wstring& version,
                          const std::vector<std::pair<std::wstring, std::wstring>>& entries,
                          const std::wstring& productId, bool signedUpdate);

}  // namespace updater::tool
