// `updater-tool explain`: the updater's decision on this PC, step by step,
// as support staff need it to answer "why did the update not come?".
#pragma once

#include <string>

#include "platform/inspection.h"
#include "platform/platform.h"
#include "update/update.h"

namespace updater::tool {

// explain's exit status: the update would be offered now and every entry
// installed; the run would end without offering it, as there is nothing to
// do; an update is there but blocked (its payload damaged or incomplete,
// its signature missing or not by the build's keys); it would be offered
// but would not install cleanly now (entries that would fail, no install
// folder, a lock file left over, an update that lands whole kept from
// landing, or what cannot be told). 2 is the tool's own failure.
constexpr int kOffered = 0;
constexpr int kNothingToDo = 1;
constexpr int kBlocked = 3;
constexpr int kNotClean = 4;

// What each status means, in a few words.
std::wstring ExplainStatusMeaning(int status);

struct ExplainOutcome {
  std::wstring text;
  std::wstring json;  // the same facts as one JSON document
  int status = kNothingToDo;
};

// Runs the updater's own decision on `platform`, reading only: it writes
// nothing, shows no box, does not wait and claims nothing. `keysGiven`:
// the build's keys were replaced by those of --key.
ExplainOutcome Explain(Platform& platform, Inspection& inspection, const BuildConstants& build,
                       bool keysGiven = false);

}  // namespace updater::tool
