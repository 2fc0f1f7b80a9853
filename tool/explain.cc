// `updater-tool explain`: the updater's decision on this PC, step by step.
#include "explain.h"

#include "explain_wording.h"
#include "identity.h"
#include "json_report.h"
#include "landing.h"
#include "lockwait/lock_wait.h"
#include "manifest_walk.h"
#include "payload_report.h"
#include "update/registry_lookup.h"
#include "versions.h"
#include "wording.h"

namespace updater::tool {
std::wstring ExplainStatusMeaning(int status) {
  switch (status) {
    case kOffered: return L"the update would be offered now and every entry installed";
    case kNothingToDo: return L"nothing to do: the run would end without offering an update";
    case kBlocked:
      return L"an update is there but blocked: its payload damaged or incomplete, or its "
             L"signature missing or not by this build's keys";
    case kNotClean: return L"the update would be offered but would not install cleanly now";
    default: break;
  }
  return L"the tool could not run";
}

ExplainOutcome Explain(Platform& platform, Inspection& inspection, const BuildConstants& build,
                       bool keysGiven) {
  ExplainOutcome outcome;
  std::wstring& text = outcome.text;
  JsonWriter json;
  json.BeginObject();
  json.Member("command", L"explain");
  WriteBuildJson(json, platform, build, keysGiven);
  Decision decision = DecideUpdate(platform, build);
  UpdateContext& context = decision.context;
  text += L"What the updater for " + build.productId + L" (" + QuotedText(build.displayName) +
          L") would do now, step by step:\n";
  text += BuildLine(platform, build, keysGiven);

  // 1. The temporary folder.
  if (platform.EnvironmentValue(L"temp").empty()) {
    text +=
        L"Temporary folder: the environment variable temp is not set, so the updater looks "
        L"at the root of the current drive (" +
        ShownPath(context.tempFolder) + L")\n";
  } else {
    text += L"Temporary folder: " + ShownPath(context.tempFolder) +
            L" (from the environment variable temp)\n";
  }
  json.Member("tempFolder", TypedPath(context.tempFolder));

  // 2. The manifest and its version.
  const std::wstring manifestPath = ManifestPath(context);
  const bool manifestFound = decision.outcome != Outcome::kNoManifest;
  if (!decision.manifest.ok) {
    text += L"Manifest: " + ShownPath(manifestPath) + L": the folder cannot be searched\n";
  } else if (!manifestFound) {
    text += L"Manifest: " + ShownPath(manifestPath) + L": not found: " +
            WhyNotFound(inspection.QueryPath(manifestPath)) + L"\n";
  } else {
    text += L"Manifest: " + ShownPath(context.tempFolder + decision.manifest.name) + L": found\n";
    text += L"Offered version: " +
            (decision.manifestOpened ? QuotedText(context.offeredVersion)
                                     : std::wstring(L"none: the manifest cannot be opened")) +
            L"\n";
  }

  json.Key("manifest");
  json.BeginObject();
  json.Member("path", TypedPath(manifestFound ? context.tempFolder + decision.manifest.name
                                              : manifestPath));
  json.Member("found", manifestFound);
  json.Key("offeredVersion");
  if (manifestFound && decision.manifestOpened) {
    json.String(context.offeredVersion);
  } else {
    json.Null();
  }
  json.EndObject();

  // 3. The installed product. Past a missing manifest the updater reads no
  // registry; the look-up is made all the same, for information.
  LookupTrace& trace = decision.lookup;
  std::wstring folderState = L"none";  // of the install folder
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
      // A value that ends in a separator of its own ("/" on Linux) is still
      // one folder: every separator at the end goes before it is looked at.
      std::wstring folder = context.installFolder;
      while (folder.size() > 1 && (folder.back() == L'\\' || folder.back() == L'/')) {
        folder.pop_back();
      }
      const PathKind kind = inspection.QueryPath(folder);
      folderState = kind == PathKind::kNothing                                      ? L"missing"
                    : kind == PathKind::kPlainFile || kind == PathKind::kHiddenFile ? L"a file"
                    : kind == PathKind::kUnknown                                    ? L"unknown"
                                                                                    : L"present";
      text += L"Install folder: " + ShownPath(context.installFolder) +
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

  json.Key("installed");
  json.BeginObject();
  json.Member("registryKey", key);
  json.Member("found", installed);
  json.Key("version");
  if (trace.openStatus == kErrorSuccess && trace.version.status == kErrorSuccess) {
    json.String(trace.version.value.AsText());
  } else {
    json.Null();
  }
  json.Key("installFolder");
  if (installed) {
    json.String(TypedPath(context.installFolder));
  } else {
    json.Null();
  }
  json.Member("installFolderState", folderState);
  json.EndObject();

  // 4. The version test and the guard.
  std::wstring verdict;
  json.Key("versionTest");
  if (manifestFound && installed) {
    verdict = VersionVerdict(decision.version, context.offeredVersion, context.registryVersion);
    text += std::wstring(L"Version test: ") +
            (decision.version.newer ? L"newer (" : L"not newer (") + verdict + L")\n";
    json.BeginObject();
    json.Member("newer", decision.version.newer);
    json.Member("text", verdict);
    json.EndObject();
  } else {
    json.Null();
  }
  json.Key("buildFolder");
  if (installed) {
    const bool buildFolder = IsDeveloperBuildFolder(platform, context.installFolder);
    text +=
        L"Build-folder guard: " + ShownPath(context.installFolder) +
        (buildFolder ? L" is a developer build folder\n" : L" is not a developer build folder\n");
    json.Bool(buildFolder);
  } else {
    json.Null();
  }

  // 5. The payload against its checksum file, which the updater reads only
  // when it would offer the update.
  const std::wstring checksumPath = context.tempFolder + ChecksumFileName(build.productId);
  std::vector<std::wstring> payloadProblems;
  bool signatureStops = false;
  bool keyUnusable = false;
  json.Key("checksumFile");
  json.BeginObject();
  json.Member("path", TypedPath(checksumPath));
  if (decision.outcome == Outcome::kOffer) {
    CheckDecisionPayload(platform, build, &decision);
    PayloadReport payload = ReportPayload(platform, decision.payload, checksumPath);
    text += payload.text;
    for (const std::wstring& problem : payload.problems) text += L"  " + problem + L"\n";
    signatureStops = SignatureStopsIt(decision.payload);
    for (const PayloadProblem& problem : decision.payload.problems) {
      keyUnusable = keyUnusable || problem.fault == PayloadFault::kKeyUnusable;
    }
    if (signatureStops && !keyUnusable) {
      text += PayloadApartFromSignature(platform, context.tempFolder, build.productId);
    }
    payloadProblems = std::move(payload.problems);
    json.Member("checked", true);
    json.Member("present", decision.payload.present);
    json.Member("ok", decision.payload.ok());
    json.Member("signatureStops", signatureStops);
    json.Key("signedBy");
    if (decision.payload.signedBy >= 0) {
      json.String(KeyFingerprint(
          platform, decision.payload.keys[static_cast<std::size_t>(decision.payload.signedBy)]));
    } else {
      json.Null();
    }
    json.Member("problems", payloadProblems);
  } else {
    const bool present =
        manifestFound && inspection.QueryPath(checksumPath) == PathKind::kPlainFile;
    if (present) {
      text += L"Checksum file: " + ShownPath(checksumPath) +
              L": present; the updater reads it only when it would offer the update\n";
    }
    json.Member("checked", false);
    json.Member("present", present);
  }
  json.EndObject();

  // 6. What stands in the way right now.
  const ClaimState claim = inspection.QueryClaim(build.productId);
  text += std::wstring(L"Another updater running now: ") +
          (claim == ClaimState::kHeld   ? L"yes"
           : claim == ClaimState::kFree ? L"no"
                                        : L"cannot be told") +
          L"\n";
  json.Member("anotherUpdater", claim == ClaimState::kHeld   ? L"yes"
                                : claim == ClaimState::kFree ? L"no"
                                                             : L"unknown");
  LockState lock = LockState::kAbsent;
  OpenState held = OpenState::kUnknown;
  if (installed) {
    lock = LockFileState(platform, context.lockPath, context.lockName);
    if (lock == LockState::kPresent) held = inspection.QueryOpen(context.lockPath);
    text += L"Lock file " + ShownPath(context.lockPath) + L": " + LockText(lock, held) + L"\n";
  }
  json.Key("lockFile");
  if (installed) {
    json.BeginObject();
    json.Member("path", TypedPath(context.lockPath));
    json.Member("state", LockWord(lock, held));
    json.EndObject();
  } else {
    json.Null();
  }

  // 7. The entries as the run would meet them, with the destinations as
  // they are now; a run that ends before copying reaches none of them.
  const bool reached = decision.outcome == Outcome::kOffer && claim != ClaimState::kHeld;
  std::size_t failing = 0;
  std::size_t listed = 0;
  std::size_t passedOver = 0;
  std::wstring firstFailing;  // the first entry that would fail, and why
  std::wstring firstPassedOver;
  // An update that lands whole: the sources it would stage, and its
  // destinations of which it cannot be told whether they would take a file.
  bool whole = false;
  std::vector<std::wstring> sources;
  std::wstring firstUnknown;
  json.Key("entries");
  json.BeginArray();
  std::vector<std::wstring> manifestProblems;
  if (manifestFound) {
    const ManifestWalk walk =
        WalkManifest(platform, context.tempFolder, manifestPath, build.productId, decision.payload);
    whole = walk.declarations.whole;
    if (walk.terminated) text += L"Lands: " + LandsText(whole) + L"\n";
    text += L"Entries:\n";
    for (const EntryResult& result : walk.entries) {
      const std::wstring entry =
          signatureStops ? EntryBehindSignature(result) : EntryText(result, !reached);
      std::wstring line = L"  " + entry;
      const bool passOver = result.fate.action == EntryAction::kPassOver;
      bool fails = false;
      std::wstring destinationNow;
      if (passOver) {
        ++passedOver;
        if (firstPassedOver.empty()) firstPassedOver = EntryText(result);
      } else {
        ++listed;
        if (result.fate.action != EntryAction::kCopy) {
          fails = true;
          if (firstFailing.empty()) {
            firstFailing = EntryText(result) + L" (the maker must mend the update)";
          }
        } else if (installed) {
          const std::wstring destination = context.installFolder + *result.entry.destination;
          const DestinationNow now =
              LookAtDestination(platform, inspection, context.installFolder, destination, whole);
          if (whole) sources.push_back(context.tempFolder + result.entry.source);
          destinationNow = now.text;
          const std::wstring why =
              ShownPath(destination) + L" " + now.text + L" (" + ProbeAdvice(now.error) + L")";
          // What cannot be told keeps no update that lands whole out for sure.
          const bool unknown = whole && now.error == CopyError::kOther;
          if (unknown && firstUnknown.empty()) firstUnknown = why;
          fails = now.error != CopyError::kNone && !unknown;
          if (fails && firstFailing.empty()) firstFailing = why;
          line += L"; " + ShownPath(destination) + L" " + destinationNow;
        }
        if (fails) ++failing;
      }
      text += line + L"\n";
      BeginEntryJson(json, result, reached && !signatureStops, entry);
      json.Key("destinationNow");
      if (destinationNow.empty()) {
        json.Null();
      } else {
        json.String(destinationNow);
      }
      json.Member("wouldFail", fails);
      json.EndObject();
    }
    if (walk.cutEntry) text += L"  " + CutEntryText(*walk.cutEntry) + L"\n";
    if (walk.entries.empty() && !walk.cutEntry) text += L"  (none)\n";
    manifestProblems = ManifestProblems(walk);
    if (!manifestProblems.empty()) {
      text += L"Manifest problems:\n";
      for (const std::wstring& problem : manifestProblems) text += L"  " + problem + L"\n";
    }
  }
  json.EndArray();
  json.Member("manifestProblems", manifestProblems);
  json.Member("whole", whole);
  // The room the staged files of an update that lands whole would need.
  const bool roomLooked = whole && installed;
  const Room room = roomLooked ? LookAtRoom(platform, context.installFolder, sources) : Room{};
  if (roomLooked) text += L"Disk space for the staged files: " + RoomText(room) + L"\n";
  json.Key("diskSpace");
  if (roomLooked) {
    WriteRoomJson(json, room);
  } else {
    json.Null();
  }

  // 8. The outcome, with the first reason it is not clean and what to do.
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
      // Told by what stops it: a signature the build does not accept is no
      // damaged payload (the payload is not even compared then), and a list
      // that never reached "slut" is no payload fault at all.
      ending = keyUnusable      ? L"this build cannot use all of its keys"
               : signatureStops ? L"the signature does not let the update through"
               : payloadProblems.empty()
                   ? L"the manifest's list does not end with \"slut\": a delivery still being "
                     L"written, or cut short, is never applied"
               : decision.payload.present ? L"the payload does not match its checksum file"
                                          : L"the delivery is incomplete";
      for (std::size_t i = 0; i < payloadProblems.size(); ++i) {
        ending += (i == 0 ? L": " : L"; ") + payloadProblems[i];
      }
      if (signatureStops && !keyUnusable) {
        ending +=
            L". Sign the update with a key this build carries (updater-tool seal --sign "
            L"KEY), or use the tool of the customer's build";
      }
      break;
    case Outcome::kOffer:
      if (claim == ClaimState::kHeld) ending = L"another updater is running now";
      break;
  }
  const bool leftOver = lock == LockState::kPresent && held == OpenState::kClosed;
  std::wstring notClean;  // the first reason the update would not install cleanly
  bool leftOverFirst = false;
  const bool folderBad = folderState == L"missing" || folderState == L"a file";
  // An update that lands whole installs nothing when any of it would fail.
  const bool wouldNotLand = whole && (folderBad || failing > 0 || room.tooLittle());
  if (folderBad) {
    notClean = L"the install folder " + ShownPath(context.installFolder) +
               (folderState == L"missing" ? L" does not exist" : L" is a file") +
               L", so every copy would fail (correct the registry value " +
               QuotedText(trace.folderValueName) + L" or install the product again)";
  } else if (leftOver) {
    leftOverFirst = true;
    notClean = L"the lock file " + ShownPath(context.lockPath) +
               L" is left over: the updater would wait ten minutes for it to go and then say "
               L"the product is not closed; delete it";
  } else if (failing > 0) {
    notClean = firstFailing;
  } else if (room.tooLittle()) {
    notClean = RoomReason(room);
  } else if (passedOver > 0) {
    notClean = Count(passedOver, L"entry", L"entries") + L" would be passed over, first " +
               firstPassedOver + L" (the maker must mend the update)";
  } else if (folderState == L"unknown") {
    // What cannot be told is not called clean.
    notClean = L"whether the install folder " + ShownPath(context.installFolder) +
               L" exists cannot be told (look at it on this PC)";
  } else if (lock == LockState::kUnknown ||
             (lock == LockState::kPresent && held == OpenState::kUnknown)) {
    notClean = L"whether the lock file " + ShownPath(context.lockPath) +
               L" is the running product's or left over cannot be told: if the product is "
               L"closed, delete it, or the updater would wait ten minutes and then say the "
               L"product is not closed";
  } else if (!firstUnknown.empty()) {
    notClean = firstUnknown;
  } else if (roomLooked) {
    notClean = RoomReason(room);  // empty when the files fit
  }
  std::wstring told;  // the outcome line, after "Outcome: "
  if (ending.empty()) {
    told = L"the update would be offered now";
    told += notClean.empty() ? L"."
            : wouldNotLand && !leftOverFirst
                ? L", but nothing would be installed: " + notClean + L"."
                : L", but would not install cleanly: " + notClean + L".";
    if (wouldNotLand) {
      told += L" It lands whole or not at all: none of its " + Count(listed, L"entry", L"entries") +
              L" would be updated now.";
    } else if (failing > 0) {
      told += L" " + std::to_wstring(failing) + L" of its " + Count(listed, L"entry", L"entries") +
              L" would not be updated now.";
    }
    if (leftOver && !leftOverFirst) {
      told +=
          L" The lock file is left over: the updater would wait ten minutes for it to go and "
          L"then say the product is not closed; delete it.";
    } else if (lock == LockState::kPresent && held == OpenState::kOpen) {
      told +=
          L" The product is running: after the close notice the updater would wait up to "
          L"ten minutes for it to close.";
    }
    outcome.status = notClean.empty() ? kOffered : kNotClean;
  } else {
    told = L"the run would end silently: " + ending + L".";
    if (outcome.status != kBlocked) outcome.status = kNothingToDo;
  }
  text += L"Outcome: " + told + L"\n";
  json.Key("outcome");
  json.BeginObject();
  json.Member("offered", ending.empty());
  json.Key("firstReason");
  if (!ending.empty()) {
    json.String(ending);
  } else if (!notClean.empty()) {
    json.String(notClean);
  } else {
    json.Null();
  }
  json.Member("entriesFailing", failing);
  json.Member("entriesPassedOver", passedOver);
  json.Member("nothingInstalled", ending.empty() && wouldNotLand);
  json.Member("text", told);
  json.EndObject();
  json.Member("status", outcome.status);
  json.Member("meaning", ExplainStatusMeaning(outcome.status));
  json.EndObject();
  outcome.json = json.Text();
  return outcome;
}

}  // namespace updater::tool
