// The payload held against its checksum file, told for people.
#include "payload_report.h"

#include "wording.h"

namespace updater::tool {
namespace {

// The keys a signature was checked with, by their fingerprints.
std::wstring KeyList(Platform& platform, const PayloadCheck& check) {
  std::wstring list;
  for (const PublicKey& key : check.keys) {
    list += (list.empty() ? L"" : L", ") + KeyFingerprint(platform, key);
  }
  return list;
}

std::wstring PayloadProblemText(Platform& platform, const PayloadCheck& check,
                                const PayloadProblem& problem) {
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
    case PayloadFault::kUnterminated:
      return L"the manifest's list ends before \"slut\": a delivery still being written, or "
             L"cut short";
    case PayloadFault::kManifestTooLarge:
      return name + L" is larger than " + std::to_wstring(kMaxManifestBytes / 1024) +
             L" KiB, more than the updater reads: it is never offered";
    case PayloadFault::kManifestChanged: return name + L" changed while the updater read it";
    case PayloadFault::kChecksumFileMissing:
      return L"the checksum file " + name + L" is missing: " +
             (check.declaresChecksums ? L"the manifest says it comes with one"
                                      : L"this build takes only signed updates");
    case PayloadFault::kSignatureMissing:
      return L"no signature: " + name + L" is missing; " +
             (check.keys.empty() ? L"the manifest says it comes with one"
                                 : L"this build takes only updates signed by one of its keys (" +
                                       KeyList(platform, check) + L")");
    case PayloadFault::kSignatureUnreadable:
      return L"the signature " + name + L" cannot be read: it is larger than " +
             std::to_wstring(kMaxSignatureFileBytes) +
             L" bytes, or no ECDSA P-256 signature (DER, or the 64 bytes of r and s)";
    case PayloadFault::kSignatureNotByKey:
      return L"the signature " + name + L" was not made by any of the keys " +
             KeyList(platform, check) +
             L": it is another key's, or the checksum file changed "
             L"after it was signed";
    case PayloadFault::kCryptoUnavailable:
      return L"the system's cryptography cannot be had to check the signature " + name;
    case PayloadFault::kKeyUnusable:
      return L"a key of this build cannot be used (it cannot be read, or the system does not "
             L"take it): the build refuses every update; build it again with good keys";
  }
  return name;
}

}  // namespace

bool IsListProblem(PayloadFault fault) {
  return fault == PayloadFault::kListCut || fault == PayloadFault::kUnterminated;
}

PayloadReport ReportPayload(Platform& platform, const PayloadCheck& check,
                            const std::wstring& checksumPath) {
  PayloadReport report;
  std::wstring& text = report.text;
  text = L"Checksum file: " + ShownPath(checksumPath) + L": ";
  // A list that does not end is told with the manifest's own problems.
  bool payloadOk = true;
  for (const PayloadProblem& problem : check.problems) {
    payloadOk = payloadOk && IsListProblem(problem.fault);
  }
  if (!check.present && payloadOk) {
    text += check.problems.empty()
                ? L"none: the payload is copied unchecked\n"
                : L"none: the payload would be copied unchecked, but the list is not whole\n";
    return report;
  }
  if (payloadOk && check.problems.empty()) {
    text += L"the manifest and " + Count(check.verified.size(), L"payload file", L"payload files") +
            L" match";
    if (check.signedBy >= 0) {
      text += L"; signed by key " +
              KeyFingerprint(platform, check.keys[static_cast<std::size_t>(check.signedBy)]);
    }
    text += L"\n";
    return report;
  }
  if (payloadOk) {
    text += L"not reached: the manifest's list is not whole\n";
    return report;
  }
  if (SignatureStopsIt(check)) {
    // Nothing was compared: a checksum file nobody vouches for promises
    // nothing, so no file is called damaged here.
    text += check.present ? L"not used: its signature does not let the update through\n"
                          : L"none, and no signature: the updater does not offer the update\n";
  } else {
    bool wanted = false;  // the manifest or the build asks for a checksum file
    for (const PayloadProblem& problem : check.problems) {
      wanted = wanted || problem.fault == PayloadFault::kChecksumFileMissing;
    }
    text += check.present ? L"not kept: the updater does not offer the update\n"
            : wanted      ? L"none, and the updater does not offer the update without it\n"
                          : L"none; the updater does not offer the update\n";
  }
  for (const PayloadProblem& problem : check.problems) {
    if (IsListProblem(problem.fault)) continue;
    report.problems.push_back(PayloadProblemText(platform, check, problem));
  }
  if (check.problemsLeftOut > 0) {
    report.problems.push_back(L"and " + Count(check.problemsLeftOut, L"problem", L"problems") +
                              L" more");
  }
  return report;
}

bool SignatureStopsIt(const PayloadCheck& check) {
  for (const PayloadProblem& problem : check.problems) {
    switch (problem.fault) {
      case PayloadFault::kSignatureMissing:
      case PayloadFault::kSignatureUnreadable:
      case PayloadFault::kSignatureNotByKey:
      case PayloadFault::kCryptoUnavailable:
      case PayloadFault::kKeyUnusable: return true;
      default: break;
    }
  }
  return false;
}

std::wstring PayloadApartFromSignature(Platform& platform, const std::wstring& tempFolder,
                                       const std::wstring& productId) {
  const PayloadCheck asUnsigned = CheckPayload(platform, tempFolder, productId);
  std::wstring text = L"  apart from the signature, ";
  if (!asUnsigned.present) return text + L"there is no checksum file either\n";
  if (SignatureStopsIt(asUnsigned)) {
    // The manifest asks for a signature that cannot be read: the payload
    // is not compared without one.
    return text + L"the payload was not compared with the checksum file\n";
  }
  if (asUnsigned.ok()) {
    return text + L"the manifest and " +
           Count(asUnsigned.verified.size(), L"payload file", L"payload files") +
           L" match the checksum file\n";
  }
  text += L"the payload does not match the checksum file either: ";
  for (std::size_t i = 0; i < asUnsigned.problems.size(); ++i) {
    text +=
        (i == 0 ? L"" : L"; ") + PayloadProblemText(platform, asUnsigned, asUnsigned.problems[i]);
  }
  return text + L"\n";
}

std::wstring EntryBehindSignature(const EntryResult& result) {
  const ManifestEntry& e = result.entry;
  return L"line " + std::to_wstring(e.sourceField.line) + L": " + QuotedText(e.source) + L" -> " +
         (e.destination ? QuotedText(*e.destination) : L"(none)") +
         L": not reached: the signature stops the update before its entries";
}

}  // namespace updater::tool
