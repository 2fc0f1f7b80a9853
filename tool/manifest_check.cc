// `updater-tool check`: an update folder as the updater would take it.
#include "manifest_check.h"

#include <optional>

#include "manifest_walk.h"
#include "payload_report.h"
#include "versions.h"
#include "wording.h"

namespace updater::tool {

CheckOutcome CheckFolder(Platform& platform, Inspection& inspection, const BuildConstants& build,
                         const std::wstring& folder, const std::vector<std::wstring>& installed) {
  CheckOutcome outcome;
  const std::wstring tempFolder = folder + L"\\";
  const std::wstring manifestName = ManifestFileName(build.productId);
  const std::wstring manifestPath = tempFolder + manifestName;
  const FindResult found = platform.FindFileName(manifestPath);
  if (!found.ok) {
    outcome.text = L"The folder " + folder + L" cannot be searched.\n";
    return outcome;
  }
  if (!TextEquals(platform, found.name, manifestName)) {
    const PathKind folderKind = inspection.QueryPath(folder);
    outcome.text = folderKind == PathKind::kFolder
                       ? L"No manifest: " + manifestPath + L" is " +
                             WhyNotFound(inspection.QueryPath(manifestPath)) + L".\n"
                       : L"The folder " + folder + L" does not exist.\n";
    return outcome;
  }
  const PayloadCheck check = CheckPayload(platform, tempFolder, build.productId, build.signingKeys);
  const ManifestWalk walk =
      WalkManifest(platform, tempFolder, tempFolder + found.name, build.productId, check);
  if (!walk.opened) {
    outcome.text = L"The manifest " + tempFolder + found.name + L" cannot be opened.\n";
    return outcome;
  }

  // An update that no customer is offered (no version, or a payload that
  // does not keep the checksum file's promise) never reaches its entries.
  const bool offerable = !walk.version.empty() && check.ok();
  std::wstring& text = outcome.text;
  text += L"Manifest: " + ShownText(tempFolder + found.name) + L"\n";
  text += L"Offered version: " + QuotedText(walk.version) + L"\n";
  text += L"Entries:\n";
  std::vector<std::wstring> problems = ManifestProblems(walk);
  std::size_t copied = 0, passedOver = 0, refused = 0;
  for (const EntryResult& result : walk.entries) {
    text += L"  " + EntryText(result, !offerable) + L"\n";
    switch (result.fate.action) {
      case EntryAction::kCopy: ++copied; continue;
      case EntryAction::kPassOver: ++passedOver; break;
      case EntryAction::kRefuse:
      case EntryAction::kHoldBack: ++refused; break;
    }
    // Whatever the updater will not install is a problem of the update.
    if (offerable) problems.push_back(EntryText(result));
  }
  if (walk.cutEntry) text += L"  " + CutEntryText(*walk.cutEntry) + L"\n";
  if (walk.entries.empty() && !walk.cutEntry) text += L"  (none)\n";

  const PayloadReport payload =
      ReportPayload(platform, check, tempFolder + ChecksumFileName(build.productId));
  text += payload.text;
  problems.insert(problems.end(), payload.problems.begin(), payload.problems.end());
  for (const std::wstring& version : installed) {
    if (!offerable) {
      text += L"Customers on " + version + L": not offered anywhere: " +
              (walk.version.empty() ? L"the offered version is empty"
               : !walk.terminated   ? L"the list does not end with \"slut\""
                                    : L"the payload does not keep its checksum file's promise") +
              L"\n";
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
  return outcome;
}

}  // namespace updater::tool
