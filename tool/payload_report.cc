// The payload held against its checksum file, told for people.
#include "payload_report.h"

#include "wording.h"

namespace updater::tool {
namespace {

std::wstring PayloadProblemText(const PayloadCheck& check, const PayloadProblem& problem) {
  const std::wstring name = QuotedText(problem.name);
  const std::wstring line = L"line " + std::to_wstring(check.checksumFaultLine);
  switch (problem.fault) {
    case PayloadFault::kChecksumFile:
      switch (check.checksumFault) {
        case ChecksumFileFault::kMalformed:
          return line + L" of the checksum file is not \"<64 hex digits>  <name>\" in UTF-8";
        case ChecksumFileFault::kConflict:
          return line + L" of the checksum file lists a file a second time with another digest";
        default:
          return L"the checksum file cannot be read, or is larger than " +
                 std::to_wstring(kMaxChecksumFileBytes / 1024) + L" KiB";
      }
    case PayloadFault::kManifestUnlisted: return name + L" has no line in the checksum file";
    case PayloadFault::kOtherManifest:
      return L"the checksum file belongs to another manifest: the line of " + name +
             L" does not match it";
    case PayloadFault::kUnlisted: return name + L" has no line in the checksum file";
    case PayloadFault::kMissing: return name + L" is missing";
    case PayloadFault::kDamaged: return name + L" is damaged: its bytes do not match its line";
    case PayloadFault::kUnreadable: return name + L" cannot be read";
    case PayloadFault::kListCut: return L"the manifest cannot be read to its end";
  }
  return name;
}

}  // namespace

PayloadReport ReportPayload(const PayloadCheck& check, const std::wstring& checksumPath) {
  PayloadReport report;
  std::wstring& text = report.text;
  text = L"Checksum file: " + ShownText(checksumPath) + L": ";
  if (!check.present) {
    text += L"none: the payload is copied unchecked\n";
    return report;
  }
  if (check.ok()) {
    text += L"the manifest and " + Count(check.verified.size(), L"payload file", L"payload files") +
            L" match\n";
    return report;
  }
  text += L"not kept: the updater does not offer the update\n";
  for (const PayloadProblem& problem : check.problems) {
    report.problems.push_back(PayloadProblemText(check, problem));
  }
  return report;
}

}  // namespace updater::tool
