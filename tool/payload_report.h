// The payload held against its checksum file, told for people.
#pragma once

#include <string>
#include <vector>

#include "update/checksums.h"

namespace updater::tool {

// The payload held against its checksum file, told for people: the line to
// print ("Checksum file: ...") and each thing that keeps the updater from
// offering the update, one sentence each.
struct PayloadReport {
  std::wstring text;
  std::vector<std::wstring> problems;
};

// True for the faults of the manifest's list itself (it does not end with
// "slut"), which the manifest's own problems tell.
bool IsListProblem(PayloadFault fault);

PayloadReport ReportPayload(Platform& platform, const PayloadCheck& check,
                            const std::wstring& checksumPath);

}  // namespace updater::tool
