// `updater-tool explain`: the updater's decision on this PC, step by step,
// as support staff need it to answer "why did the update not come?".
#pragma once

#include <string>

#include "platform/inspection.h"
#include "platform/platform.h"
#include "update/update.h"

namespace updater::tool {

// explain's exit status: the update would be offered now; the run would
// end without offering it, as there is nothing to do; an update is there
// but blocked (its payload damaged or incomplete). 2 is the tool's own
// failure.
constexpr int kOffered = 0;
constexpr int kNothingToDo = 1;
constexpr int kBlocked = 3;

struct ExplainOutcome {
  std::wstring text;
  int status = kNothingToDo;
};

// Runs the updater's own decision on `platform`, reading only: it writes
// nothing, shows no box, does not wait and claims nothing.
ExplainOutcome Explain(Platform& platform, Inspection& inspection, const BuildConstants& build);

}  // namespace updater::tool
