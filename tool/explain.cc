// `updater-tool explain`: the updater's decision on this PC, step by step.
#include "explain.h"

#include "lockwait/lock_wait.h"
#include "manifest_walk.h"
#include "payload_report.h"
#include "update/registry_lookup.h"
#include "versions.h"
#include "wording.h"

namespace updater::tool {
namespace {

std::wstring TypeName(std::uint32_t type) {
  switch (type) {
    case 1: return L"REG_SZ";
    case 2: return L"REG_EXPAND_SZ";
    case 3: return L"REG_BINARY";
    case 4: return L"REG_DWORD";
    case 7: return L"REG_MULTI_SZ";
    case 11: return L"REG_QWORD";
    default: return L"type " + std::to_wstring(type);
  }
}

std::wstring ValueText(const LookupTrace::Read& read) {
  if (read.status == kErrorFileNotFound) return L"missing";
  if (read.status == -1) return TypeName(read.type) + L", a type the updater does not read";
  if (read.status != kErrorSuccess) {
    return TypeName(read.type) + L", cannot be read (error " + std::to_wstring(read.status) + L")";
  }
  if (read.type == kRegDword) return L"REG_DWORD " + read.value.AsText();
  if (read.value.kind == RegistryValue::Kind::kEmpty) return TypeName(read.type) + L" of size 0";
  return TypeName(read.type) + L" " + QuotedText(read.value.AsText());
}

std::wstring LockText(LockState lock, OpenState held) {
  if (lock == LockState::kAbsent) return L"absent now";
  if (lock == LockState::kUnknown) return L"cannot be tested";
  switch (held) {
    case OpenState::kOpen: return L"present now, held open by a program: the product is running";
    case OpenState::kClosed:
      return L"present now, but no program holds it open: left over, the product is closed";
    case OpenState::kUnknown: break;
  }
  return L"present now: the product is running, or the file was left over";
}

std::wstring ProbeText(CopyError error) {
  switch (error) {
    case CopyError::kNone: return L"can be written now";
    case CopyError::kFolderMissing: return L"cannot be written now: its folder does not exist";
    case CopyError::kAccessDenied: return L"cannot be written now: read-only or no access";
    case CopyError::kInUse: return L"cannot be written now: a program has it open";
    case CopyError::kInvalidName: return L"cannot be written: not a valid name";
    default: return L"whether it can be written cannot be told";
  }
}

}  // namespace

ExplainOutcome Explain(Platform& platform, Inspection& inspection, const BuildConstants& build) {
  ExplainOutcome outcome;
  std::wstring& text = outcome.text;
  Decision decision = DecideUpdate(platform, build);
  UpdateContext& context = decision.context;
  text += L"What the updater for " + build.productId + L" (" + QuotedText(build.displayName) +
          L") would do now, step by step:\n";

  // 1. The temporary folder.
  if (platform.EnvironmentValue(L"temp").empty()) {
    text +=
        L"Temporary folder: the environment variable temp is not set, so the updater looks "
        L"at the root of the current drive (" +
        ShownText(context.tempFolder) + L")\n";
  } else {
    text += L"Temporary folder: " + ShownText(context.tempFolder) +
            L" (from the environment variable temp)\n";
  }

  // 2. The manifest and its version.
  const std::wstring manifestPath = ManifestPath(context);
  const bool manifestFound = decision.outcome != Outcome::kNoManifest;
  if (!decision.manifest.ok) {
    text += L"Manifest: " + ShownText(manifestPath) + L": the folder cannot be searched\n";
  } else if (!manifestFound) {
    text += L"Manifest: " + ShownText(manifestPath) + L": not found: " +
            WhyNotFound(inspection.QueryPath(manifestPath)) + L"\n";
  } else {
    text += L"Manifest: " + ShownText(context.tempFolder + decision.manifest.name) + L": found\n";
    text += L"Offered version: " +
            (decision.manifestOpened ? QuotedText(context.offeredVersion)
                                     : std::wstring(L"none: the manifest cannot be opened")) +
            L"\n";
  }

  // 3. The installed product. Past a missing manifest the updater reads no
  // registry; the look-up is made all the same, for information.
  LookupTrace& trace = decision.lookup;
  bool installed = decision.outcome != Outcome::kNotInstalled;
  if (!manifestFound) {
    UpdateContext probe = context;
    installed = LookupInstalledProduct(platform, probe, &trace);
    context = probe;
    text += L"(The updater stops here; the steps below are for information.)\n";
  }
  const std::wstring key = L"HKEY_CURRENT_USER\\" + platform.AnsiToText(trace.registryKey);
  if (!trace.profileFound) {
    text += L"Registry: no product profile for " + build.productId + L"\n";
  } else if (trace.openStatus == kErrorFileNotFound) {
    text += L"Registry key: " + key + L": does not exist\n";
  } else if (trace.openStatus != kErrorSuccess) {
    text += L"Registry key: " + key + L": cannot be opened (error " +
            std::to_wstring(trace.openStatus) + L")\n";
  } else {
    text += L"Registry key: " + key + L": opened\n";
    text += L"  Version: " + ValueText(trace.version) + L"\n";
    text += L"  " + trace.folderValueName + L": " + ValueText(trace.folder) + L"\n";
    const std::wstring& separator = trace.decimalSeparator;
    text += L"Installed version: " + QuotedText(trace.version.value.AsText()) + L" reads as " +
            context.installedVersion + L" (decimal separator " + QuotedText(separator) + L")\n";
    if (installed) {
      // The updater does not look: every copy into a folder that is not
      // there fails.
      std::wstring folder = context.installFolder;
      folder.pop_back();
      const PathKind kind = inspection.QueryPath(folder);
      text += L"Install folder: " + ShownText(context.installFolder) +
              (kind == PathKind::kNothing ? L": does not exist"
               : kind == PathKind::kPlainFile || kind == PathKind::kHiddenFile
                   ? L": a file, not a folder"
                   : L"") +
              L"\n";
    } else {
      const RegistryValue& folder = trace.folder.value;
      text += L"Install folder: none: ";
      text += folder.kind == RegistryValue::Kind::kText && !folder.text.empty()
                  ? QuotedText(folder.text) + L" is not an absolute folder"
                  : L"the value " + QuotedText(trace.folderValueName) + L" holds no folder";
      text += L"\n";
    }
  }

  // 4. The version test and the guard.
  std::wstring verdict;
  if (manifestFound && installed) {
    verdict = VersionVerdict(decision.version, context.offeredVersion, context.registryVersion);
    text += std::wstring(L"Version test: ") +
            (decision.version.newer ? L"newer (" : L"not newer (") + verdict + L")\n";
  }
  if (installed) {
    text += L"Build-folder guard: " + ShownText(context.installFolder) +
            (IsDeveloperBuildFolder(platform, context.installFolder)
                 ? L" is a developer build folder\n"
                 : L" is not a developer build folder\n");
  }

  // 5. The payload against its checksum file, which the updater reads only
  // when it would offer the update.
  const std::wstring checksumPath = context.tempFolder + ChecksumFileName(build.productId);
  std::vector<std::wstring> payloadProblems;
  if (decision.outcome == Outcome::kOffer) {
    CheckDecisionPayload(platform, build, &decision);
    PayloadReport payload = ReportPayload(platform, decision.payload, checksumPath);
    text += payload.text;
    for (const std::wstring& problem : payload.problems) text += L"  " + problem + L"\n";
    payloadProblems = std::move(payload.problems);
  } else if (manifestFound && inspection.QueryPath(checksumPath) == PathKind::kPlainFile) {
    text += L"Checksum file: " + ShownText(checksumPath) +
            L": present; the updater reads it only when it would offer the update\n";
  }

  // 6. What stands in the way right now.
  const ClaimState claim = inspection.QueryClaim(build.productId);
  text += std::wstring(L"Another updater running now: ") +
          (claim == ClaimState::kHeld   ? L"yes"
           : claim == ClaimState::kFree ? L"no"
                                        : L"cannot be told") +
          L"\n";
  LockState lock = LockState::kAbsent;
  OpenState held = OpenState::kUnknown;
  if (installed) {
    lock = LockFileState(platform, context.lockPath, context.lockName);
    if (lock == LockState::kPresent) held = inspection.QueryOpen(context.lockPath);
    text += L"Lock file " + ShownText(context.lockPath) + L": " + LockText(lock, held) + L"\n";
  }

  // 7. The entries as the run would meet them, with the destinations as
  // they are now; a run that ends before copying reaches none of them.
  const bool reached = decision.outcome == Outcome::kOffer && claim != ClaimState::kHeld;
  std::size_t failing = 0;
  std::size_t listed = 0;
  if (manifestFound) {
    const ManifestWalk walk =
        WalkManifest(platform, context.tempFolder, manifestPath, build.productId, decision.payload);
    text += L"Entries:\n";
    for (const EntryResult& result : walk.entries) {
      std::wstring line = L"  " + EntryText(result, !reached);
      if (result.fate.action == EntryAction::kPassOver) {
        text += line + L"\n";
        continue;
      }
      ++listed;
      if (result.fate.action != EntryAction::kCopy) {
        ++failing;
      } else if (installed) {
        const std::wstring destination = context.installFolder + *result.entry.destination;
        const CopyError probe = inspection.ProbeDestination(destination);
        if (probe != CopyError::kNone) ++failing;
        line += L"; " + ShownText(destination) + L" " + ProbeText(probe);
      }
      text += line + L"\n";
    }
    if (walk.cutEntry) text += L"  " + CutEntryText(*walk.cutEntry) + L"\n";
    if (walk.entries.empty() && !walk.cutEntry) text += L"  (none)\n";
    const std::vector<std::wstring> problems = ManifestProblems(walk);
    if (!problems.empty()) {
      text += L"Manifest problems:\n";
      for (const std::wstring& problem : problems) text += L"  " + problem + L"\n";
    }
  }

  // 8. The outcome.
  std::wstring ending;
  switch (decision.outcome) {
    case Outcome::kNoManifest: ending = L"there is no manifest in the temporary folder"; break;
    case Outcome::kNotInstalled: ending = L"no product is installed"; break;
    case Outcome::kNotNewer:
      ending =
          decision.version.rollback
              ? L"the offered version is older than the installed one (" + verdict + L")"
              : L"the offered version does not sort after the installed one (" + verdict + L")";
      break;
    case Outcome::kBuildFolder: ending = L"the install folder is a developer build folder"; break;
    case Outcome::kIncomplete:
      outcome.status = kBlocked;
      ending = payloadProblems.empty()
                   ? L"the manifest's list does not end with \"slut\": a delivery still being "
                     L"written, or cut short, is never applied"
                   : L"the payload does not match its checksum file";
      for (std::size_t i = 0; i < payloadProblems.size(); ++i) {
        ending += (i == 0 ? L": " : L"; ") + payloadProblems[i];
      }
      break;
    case Outcome::kOffer:
      if (claim == ClaimState::kHeld) ending = L"another updater is running now";
      break;
  }
  if (ending.empty()) {
    text += L"Outcome: the update would be offered now.";
    if (failing > 0) {
      text += L" " + std::to_wstring(failing) + L" of its " + Count(listed, L"entry", L"entries") +
              L" would not be updated now.";
    }
    if (lock == LockState::kPresent && held == OpenState::kClosed) {
      text +=
          L" The lock file is left over: the updater would wait ten minutes for it to go and "
          L"then say the product is not closed; delete it.";
    } else if (lock == LockState::kPresent) {
      text +=
          L" The product is running: after the close notice the updater would wait up to "
          L"ten minutes for it to close.";
    }
    text += L"\n";
    outcome.status = kOffered;
  } else {
    text += L"Outcome: the run would end silently: " + ending + L".\n";
    if (outcome.status != kBlocked) outcome.status = kNothingToDo;
  }
  return outcome;
}

}  // namespace updater::tool
