// `updater-tool explain`: the updater's decision on this PC, step by step,
// as support staff need it to answer "why did the update not come?".
#pragma once

#include <string>

#include "platform/inspection.h"
#include "platform/platform.h"
#include "update/update.h"

namespace updater::tool {

struct ExplainOutcome {
  std::wstring text;
  int status = 1;  // 0: the update would be offered now; 1: the run would end
                   // without offering it
};

// Runs the updater's own decision on `platform`, reading only: it writes
// nothing, shows no box, does not wait and claims nothing.
ExplainOutcome Explain(Platform& platform, Inspection& inspection, const BuildConstants& build);

}  // namespace updater::tool
