// `updater-tool check`: an update folder as the updater would take it.
#include "manifest_check.h"

#include <optional>

#include "identity.h"
#include "json_report.h"
#include "landing.h"
#include "manifest_walk.h"
#include "payload_report.h"
#include "versions.h"
#include "wording.h"

namespace updater::tool {

namespace {

// The JSON document of a folder that could not be checked.
std::wstring FailureJson(Platform& platform, const BuildConstants& build, bool keysGiven,
                         const std::wstring& folder, const std::wstring& why) {
  JsonWriter json;
  json.BeginObject();
  json.Member("command", L"check");
  WriteBuildJson(json, platform, build, keysGiven);
  json.Member("folder", folder);
  json.Member("error", why.substr(0, why.size() - 1));
  json.Member("status", 2);
  json.Member("meaning", CheckStatusMeaning(2));
  json.EndObject();
  return json.Text();
}

}  // namespace

std::wstring CheckStatusMeaning(int status) {
  switch (status) {
    case 0: return L"no problem";
    case 1: return L"problems, as many as the result counts";
    default: break;
  }
  return L"the folder or its manifest cannot be read, or the command line is wrong";
}

CheckOutcome CheckFolder(Platform& platform, Inspection& inspection, const BuildConstants& build,
                         const std::wstring& folder, const std::vector<std::wstring>& installed,
                         bool keysGiven) {
  CheckOutcome outcome;
  // Ends a check that cannot be made: the text says why.
  const auto failed = [&](const std::wstring& why) {
    outcome.text = why;
    outcome.json = FailureJson(platform, build, keysGiven, folder, why);
    return outcome;
  };
  const std::wstring tempFolder = folder + L"\\";
  const std::wstring manifestName = ManifestFileName(build.productId);
  const std::wstring manifestPath = tempFolder + manifestName;
  const FindResult found = platform.FindFileName(manifestPath);
  if (!found.ok) return failed(L"The folder " + folder + L" cannot be searched.\n");
  if (!TextEquals(platform, found.name, manifestName)) {
    const PathKind folderKind = inspection.QueryPath(folder);
    return failed(folderKind == PathKind::kFolder
                      ? L"No manifest: " + ShownPath(JoinAsTyped(folder, manifestName)) + L" is " +
                            WhyNotFound(inspection.QueryPath(manifestPath)) + L".\n"
                      : L"The folder " + folder + L" does not exist.\n");
  }
  const PayloadCheck check = CheckPayload(platform, tempFolder, build.productId, build.signingKeys);
  const ManifestWalk walk =
      WalkManifest(platform, tempFolder, tempFolder + found.name, build.productId, check);
  if (!walk.opened) {
    return failed(L"The manifest " + ShownPath(JoinAsTyped(folder, found.name)) +
                  L" cannot be opened.\n");
  }

  // An update that no customer is offered (no version, or a payload that
  // does not keep the checksum file's promise) never reaches its entries.
  const bool offerable = !walk.version.empty() && check.ok();
  const bool signatureStops = SignatureStopsIt(check);
  std::wstring& text = outcome.text;
  JsonWriter json;
  json.BeginObject();
  json.Member("command", L"check");
  WriteBuildJson(json, platform, build, keysGiven);
  json.Member("folder", folder);
  // Paths are shown as FOLDER was typed: "out/OrvakBK.ini" on Linux.
  json.Member("manifest", TypedPath(JoinAsTyped(folder, found.name)));
  json.Member("offeredVersion", walk.version);
  json.Member("offerable", offerable);
  json.Member("whole", walk.declarations.whole);
  text += BuildLine(platform, build, keysGiven);
  text += L"Manifest: " + ShownPath(JoinAsTyped(folder, found.name)) + L"\n";
  text += L"Offered version: " + QuotedText(walk.version) + L"\n";
  // A list without "slut" lands in no way at all.
  if (walk.terminated) text += L"Lands: " + LandsText(walk.declarations.whole) + L"\n";
  text += L"Entries:\n";
  json.Key("entries");
  json.BeginArray();
  std::vector<std::wstring> problems = ManifestProblems(walk);
  std::size_t copied = 0, passedOver = 0, refused = 0;
  for (const EntryResult& result : walk.entries) {
    const std::wstring entry =
        signatureStops ? EntryBehindSignature(result) : EntryText(result, !offerable);
    text += L"  " + entry + L"\n";
    BeginEntryJson(json, result, offerable, entry);
    json.EndObject();
    switch (result.fate.action) {
      case EntryAction::kCopy: ++copied; continue;
      case EntryAction::kPassOver: ++passedOver; break;
      case EntryAction::kRefuse:
      case EntryAction::kHoldBack: ++refused; break;
    }
    // Whatever the updater will not install is a problem of the update.
    if (offerable) problems.push_back(EntryText(result));
  }
  json.EndArray();
  if (offerable && walk.declarations.whole && refused > 0) {
    problems.push_back(L"the update lands whole or not at all, so with " +
                       Count(refused, L"entry", L"entries") +
                       L" not copied none of its files would be installed");
  }
  // Whether "slut" ended the list, and the entry the end of the file cut.
  json.Member("listEnds", walk.terminated);
  json.Key("cutEntry");
  if (walk.cutEntry) {
    json.String(CutEntryText(*walk.cutEntry));
    text += L"  " + CutEntryText(*walk.cutEntry) + L"\n";
  } else {
    json.Null();
  }
  if (walk.entries.empty() && !walk.cutEntry) text += L"  (none)\n";

  const std::wstring checksumPath = JoinAsTyped(folder, ChecksumFileName(build.productId));
  const PayloadReport payload = ReportPayload(platform, check, checksumPath);
  text += payload.text;
  if (signatureStops) text += PayloadApartFromSignature(platform, tempFolder, build.productId);
  problems.insert(problems.end(), payload.problems.begin(), payload.problems.end());
  json.Key("checksumFile");
  json.BeginObject();
  json.Member("path", TypedPath(checksumPath));
  json.Member("present", check.present);
  json.Member("ok", check.ok());
  json.Member("signatureStops", signatureStops);
  json.Key("signedBy");
  if (check.signedBy >= 0) {
    json.String(KeyFingerprint(platform, check.keys[static_cast<std::size_t>(check.signedBy)]));
  } else {
    json.Null();
  }
  json.Member("problems", payload.problems);
  json.EndObject();
  json.Key("installed");
  json.BeginArray();
  for (const std::wstring& version : installed) {
    json.BeginObject();
    json.Member("version", version);
    if (!offerable) {
      const std::wstring line =
          L"Customers on " + version + L": not offered anywhere: " +
          (walk.version.empty() ? L"the offered version is empty"
           : !walk.terminated   ? L"the list does not end with \"slut\""
           : signatureStops     ? L"the signature does not let the update through"
                                : L"the payload does not keep its checksum file's promise");
      text += line + L"\n";
      json.Member("pointLocale", false);
      json.Member("commaLocale", false);
      json.Member("text", line);
      json.EndObject();
      continue;
    }
    // What the numbers say, against what the updater does on a point and on
    // a comma locale: a problem only where the two disagree, or where the
    // locales do.
    const std::optional<int> numbers = NumberOrder(walk.version, version);
    std::wstring line = L"Customers on " + version + L": ";
    bool offered[2] = {false, false};
    const struct {
      const wchar_t* name;
      const wchar_t* separator;
    } locales[] = {{L"point", L"."}, {L"comma", L","}};
    for (int i = 0; i < 2; ++i) {
      const VersionTest test = TestVersion(platform, walk.version, version, locales[i].separator,
                                           !build.signingKeys.empty());
      offered[i] = test.newer;
      if (i == 1) line += L"; ";
      line += std::wstring(test.newer ? L"offered" : L"not offered") + L" on a " + locales[i].name +
              L" locale (" + VersionVerdict(test, walk.version, version) + L")";
    }
    text += line + L"\n";
    json.Member("pointLocale", offered[0]);
    json.Member("commaLocale", offered[1]);
    json.Member("text", line);
    json.EndObject();
    const std::wstring customers = L"customers on " + version;
    if (offered[0] != offered[1]) {
      problems.push_back(customers +
                         L" are offered this update on one locale and not on the "
                         L"other");
    } else if (numbers && *numbers > 0 && !offered[0]) {
      problems.push_back(customers +
                         L" are not offered this update anywhere, though it is newer "
                         L"by number: versions compare as text");
    } else if (numbers && *numbers == 0 && offered[0]) {
      problems.push_back(customers +
                         L" are offered this update again, though it is the same "
                         L"version");
    } else if (numbers && *numbers < 0 && offered[0]) {
      problems.push_back(customers +
                         L" are offered this update, an older version by number: "
                         L"versions compare as text");
    }
  }

  json.EndArray();
  text += L"Problems:";
  text += problems.empty() ? L" none\n" : L"\n";
  for (const std::wstring& problem : problems) text += L"  " + problem + L"\n";
  text += L"Result: " + Count(walk.entries.size(), L"entry", L"entries") + L", ";
  if (offerable) {
    text += std::to_wstring(copied) + L" copied, " + std::to_wstring(passedOver) +
            L" passed over, " + std::to_wstring(refused) + L" refused";
  } else {
    text += L"none reached: the update is not offered";
  }
  text += L"; " + Count(problems.size(), L"problem", L"problems") + L".\n";
  // The status follows the count: every entry not copied is a problem.
  outcome.status = walk.readFailed ? 2 : problems.empty() ? 0 : 1;
  outcome.problems = problems.size();
  outcome.onlySignatureMissing = problems.size() == 1 && check.problems.size() == 1 &&
                                 check.problems[0].fault == PayloadFault::kSignatureMissing;
  json.Member("problems", problems);
  json.Key("result");
  json.BeginObject();
  json.Member("entries", walk.entries.size());
  json.Member("copied", offerable ? copied : 0);
  json.Member("passedOver", offerable ? passedOver : 0);
  json.Member("refused", offerable ? refused : 0);
  json.Member("problems", problems.size());
  json.EndObject();
  json.Member("status", outcome.status);
  json.Member("meaning", CheckStatusMeaning(outcome.status));
  json.EndObject();
  outcome.json = json.Text();
  return outcome;
}

}  // namespace updater::tool
