// `updater-tool check`: what the updater would make of an update folder,
// told for the maker: each entry's fate, the traps of a hand-written
// manifest, the checksum file, and which customers are offered it.
#pragma once

#include <string>
#include <vector>

#include "platform/inspection.h"
#include "platform/platform.h"
#include "update/update.h"

namespace updater::tool {

// What `check` prints and its exit status: 0 when every entry would be
// copied and nothing is reported, 1 when something is, 2 when the folder or
// its manifest cannot be read.
struct CheckOutcome {
  std::wstring text;
  std::wstring json;  // the same facts as one JSON document
  int status = 2;
  std::size_t problems = 0;  // as many as the last line counts
  // The one thing a signed build finds missing is the signature.
  bool onlySignatureMissing = false;
};

// What each status means, in a few words.
std::wstring CheckStatusMeaning(int status);

// `keysGiven`: the build's keys were replaced by those of --key.
CheckOutcome CheckFolder(Platform& platform, Inspection& inspection, const BuildConstants& build,
                         const std::wstring& folder, const std::vector<std::wstring>& installed,
                         bool keysGiven = false);

}  // namespace updater::tool
