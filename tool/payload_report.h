// The payload held against its checksum file, told for people.
#pragma once

#include <string>
#include <vector>

#include "manifest_walk.h"
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

// True when the signature is what keeps the update back: none, one that
// cannot be read, one by none of the keys, or no cryptography to check it.
// The payload is then not compared with its checksum file at all.
bool SignatureStopsIt(const PayloadCheck& check);

// The payload held against its checksum file as if no signature were asked
// for, told in one line for a run the signature stops: "  apart from the
// signature, the manifest and 2 payload files match the checksum file".
std::wstring PayloadApartFromSignature(Platform& platform, const std::wstring& tempFolder,
                                       const std::wstring& productId);

// An entry of an update its signature stops: "line 2: "a.dll" -> "a.dll":
// not reached: the signature stops the update before its entries".
std::wstring EntryBehindSignature(const EntryResult& result);

}  // namespace updater::tool
