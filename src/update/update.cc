#include "update/update.h"

#include <cstdlib>
#include <optional>
#include <vector>

#include "build_config.h"
#include "lockwait/lock_wait.h"
#include "manifest/manifest_reader.h"
#include "platform/windows_path.h"
#include "update/registry_lookup.h"

namespace updater {
namespace {

// A virus scanner or indexer often holds a freshly written file for a
// moment: a copy that finds its file busy is tried again a few times.
constexpr int kBusyRetries = 5;
constexpr unsigned kBusyRetryPauseMs = 200;

const wchar_t kManifestExtension[] = L".ini";
const wchar_t kTerminator[] = L"slut";
const wchar_t kUpdatedHeading[] = L"Følgende filer er opdateret:";
const wchar_t kFailedHeading[] = L"Følgende filer kunne ikke opdateres:";
const wchar_t kListCut[] = L"Listen over filer kunne ikke læses til ende.";
// Continuation lines of an entry broken in the summary start with this.
const wchar_t kContinuation[] = L"    ";

std::wstring Title(const UpdateContext& context) { return L"Zorbe IT - " + context.productId; }

}  // namespace

const wchar_t* CopyErrorReason(CopyError error) {
  switch (error) {
    case CopyError::kFolderMissing: return L"mappen findes ikke";
    case CopyError::kAccessDenied: return L"adgang nægtet";
    case CopyError::kInUse: return L"filen er i brug";
    case CopyError::kInvalidName: return L"ugyldigt filnavn";
    case CopyError::kSourceMissing: return L"kildefilen mangler";
    case CopyError::kNoSpace: return L"disken er fuld";
    case CopyError::kChanged: return L"kildefilen er ændret";
    case CopyError::kNone:
    case CopyError::kOther: break;
  }
  return L"ukendt fejl";
}

namespace {

// A refused name may hold line breaks or other control characters (a quoted
// manifest field can): shown as "?" they cannot break the summary's lines.
std::wstring Printable(std::wstring text) {
  for (wchar_t& c : text) {
    if (c < 32) c = L'?';
  }
  return text;
}

CopyError CopyWithRetry(Platform& platform, const std::wstring& source,
                        const std::wstring& destination, const Sha256* expected) {
  CopyError error = platform.CopyFile(source, destination, expected);
  for (int retry = 0; retry < kBusyRetries && error == CopyError::kInUse; ++retry) {
    platform.Sleep(kBusyRetryPauseMs);
    error = platform.CopyFile(source, destination, expected);
  }
  return error;
}

bool IsNameCharacterAllowed(wchar_t c) {
  if (c < 32) return false;
  switch (c) {
    case L'<':
    case L'>':
    case L'"':
    case L'|':
    case L'?':
    case L'*': return false;
    default: return true;
  }
}

// Windows opens a device, not a file, for these names whatever the extension.
bool IsDeviceName(const std::wstring& component) {
  std::wstring base = component.substr(0, component.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  for (wchar_t& c : base) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 0x20);
  }
  if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" || base == L"CONIN$" ||
      base == L"CONOUT$") {
    return true;
  }
  if (base.size() != 4 || (base.compare(0, 3, L"COM") != 0 && base.compare(0, 3, L"LPT") != 0)) {
    return false;
  }
  // Windows counts the superscript digits ¹ ² ³ as port numbers too.
  const wchar_t port = base[3];
  return (port >= L'1' && port <= L'9') || port == 0xB9 || port == 0xB2 || port == 0xB3;
}

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// --- The summary -------------------------------------------------------------

// One entry of the summary as lines of at most kSummaryMaxColumns
// characters: broken after the last "\" that fits, or where the line is full
// when no "\" does; the lines after the first are indented.
std::vector<std::wstring> WrapEntry(const std::wstring& entry) {
  std::vector<std::wstring> lines;
  std::wstring rest = entry;
  std::wstring indent;
  while (indent.size() + rest.size() > kSummaryMaxColumns) {
    const std::size_t room = kSummaryMaxColumns - indent.size();
    const std::size_t slash = rest.rfind(L'\\', room - 1);
    const std::size_t cut = slash == std::wstring::npos || slash == 0 ? room : slash + 1;
    lines.push_back(indent + rest.substr(0, cut));
    rest.erase(0, cut);
    indent = kContinuation;
  }
  lines.push_back(indent + rest);
  return lines;
}

std::size_t LineCost(const std::wstring& line) { return line.size() > kSummaryWrapColumns ? 2 : 1; }

// A section's entries, each as its lines, and what they cost together.
struct Section {
  std::vector<std::vector<std::wstring>> entries;
  std::vector<std::size_t> costs;
  std::size_t total = 0;

  explicit Section(const std::vector<std::wstring>& items) {
    for (const std::wstring& item : items) {
      entries.push_back(WrapEntry(item));
      std::size_t cost = 0;
      for (const std::wstring& line : entries.back()) cost += LineCost(line);
      costs.push_back(cost);
      total += cost;
    }
  }

  // How many entries from the first fit in `budget` lines.
  std::size_t Fitting(std::size_t budget) const {
    std::size_t used = 0;
    std::size_t count = 0;
    while (count < costs.size() && used + costs[count] <= budget) used += costs[count++];
    return count;
  }

  // The first `shown` entries, then `more` (when some are left out).
  std::wstring Text(std::size_t shown, const std::wstring& more, const std::wstring& br) const {
    std::wstring text;
    for (std::size_t i = 0; i < shown; ++i) {
      for (const std::wstring& line : entries[i]) text += line + br;
    }
    if (shown < entries.size()) text += more + br;
    return text;
  }
};

// "... og 12 filer mere er opdateret." after some shown, "12 filer er
// opdateret." when none are; `what` is the end of the sentence.
std::wstring MoreLine(std::size_t shown, std::size_t hidden, const std::wstring& what) {
  const std::wstring files = std::to_wstring(hidden) + (hidden == 1 ? L" fil" : L" filer");
  if (shown == 0) return files + L" " + what + L".";
  return L"... og " + files + L" mere " + what + L".";
}

}  // namespace

BuildConstants ThisBuild() { return {kBuildProductId, kBuildDisplayName}; }

const std::array<ProductProfile, 2>& ProductProfiles() {
  static const std::array<ProductProfile, 2> profiles = {{
      {L"OrvakLR", "Software\\Zorbe IT Service\\Drovanel", "Path", L"Drovanel.ldb"},
      {L"OrvakBK", "Software\\Zorbe IT Service\\Sylkum", "MDE", L"Sylkum.ldb"},
  }};
  return profiles;
}

const std::array<const wchar_t*, 2>& DeveloperBuildFolders() {
  static const std::array<const wchar_t*, 2> folders = {
      L"C:\\Drovanel\\Foerbuild\\",
      L"C:\\Sylkum\\Foerbuild\\",
  };
  return folders;
}

std::wstring RegistryValue::AsText() const {
  switch (kind) {
    case Kind::kText: return text;
    case Kind::kInteger: return std::to_wstring(integer);
    case Kind::kEmpty: break;
  }
  return std::wstring();
}

DestinationFault CheckDestination(const std::wstring& name) {
  if (name.empty()) return DestinationFault::kEmpty;
  if (name[0] == L'\\' || name[0] == L'/') return DestinationFault::kRooted;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = name.size();
    const std::wstring component = name.substr(start, end - start);
    for (wchar_t c : component) {
      if (c == L':') return DestinationFault::kDriveOrStream;
      if (!IsNameCharacterAllowed(c)) return DestinationFault::kForbiddenCharacter;
    }
    // Windows drops trailing dots and spaces, so ". ." or "..." can climb
    // like "..": a component made only of dots and spaces is refused, and so
    // is an empty one (a doubled or trailing separator).
    if (component.empty()) return DestinationFault::kEmptyComponent;
    if (component.find_first_not_of(L". ") == std::wstring::npos) return DestinationFault::kClimbs;
    if (IsDeviceName(component)) return DestinationFault::kDeviceName;
    start = end + 1;
  }
  return DestinationFault::kNone;
}

bool IsSafeDestination(const std::wstring& name) {
  return CheckDestination(name) == DestinationFault::kNone;
}

SourceFate TestSource(Platform& platform, const std::wstring& tempFolder,
                      const std::wstring& source) {
  if (source.empty()) return SourceFate::kEmpty;
  const FindResult found = platform.FindFileName(tempFolder + source);
  // A presence test that cannot be made lets the copy decide.
  if (!found.ok) return SourceFate::kUnknown;
  if (TextEquals(platform, found.name, source)) return SourceFate::kPresent;
  // The test gives the bare on-disk name, so these can never match.
  if (source.find_first_of(L"\\/") != std::wstring::npos) return SourceFate::kFolderPart;
  if (source.find_first_of(L"*?") != std::wstring::npos) return SourceFate::kWildcard;
  return SourceFate::kMissing;
}

std::optional<ManifestEntry> NextEntry(Platform& platform, ManifestReader& reader,
                                       bool* terminated) {
  *terminated = false;
  const std::optional<std::wstring> source = reader.readField();
  if (!source) return std::nullopt;
  // The terminator counts as soon as it is read, with or without a second
  // field after it.
  if (TextEquals(platform, *source, kTerminator)) {
    *terminated = true;
    return std::nullopt;
  }
  ManifestEntry entry;
  entry.source = *source;
  entry.sourceField = reader.lastField();
  entry.destination = reader.readField();
  if (entry.destination) entry.destinationField = reader.lastField();
  return entry;
}

std::wstring ManifestFileName(const std::wstring& productId) {
  return productId + kManifestExtension;
}

std::wstring ManifestPath(const UpdateContext& context) {
  return context.tempFolder + ManifestFileName(context.productId);
}

void CheckDecisionPayload(Platform& platform, Decision* decision) {
  if (decision->outcome != Outcome::kOffer) return;
  decision->payload =
      CheckPayload(platform, decision->context.tempFolder, decision->context.productId);
  if (!decision->payload.ok()) decision->outcome = Outcome::kIncomplete;
}

Decision DecideUpdate(Platform& platform, const BuildConstants& build) {
  Decision decision;
  UpdateContext& context = decision.context;
  context.productId = build.productId;
  context.displayName = build.displayName;
  context.lineBreak = L"\r\n";
  context.tempFolder = platform.EnvironmentValue(L"temp") + L"\\";

  // Nothing to do unless the manifest is there.
  const std::wstring manifestName = ManifestFileName(context.productId);
  decision.manifest = platform.FindFileName(ManifestPath(context));
  if (!decision.manifest.ok || !TextEquals(platform, decision.manifest.name, manifestName)) {
    decision.outcome = Outcome::kNoManifest;
    return decision;
  }

  // First pass over the manifest: the offered version only.
  ManifestReader reader(platform);
  if (reader.open(ManifestPath(context))) {
    decision.manifestOpened = true;
    context.offeredVersion = reader.readField().value_or(std::wstring());
    reader.close();
  }

  if (!LookupInstalledProduct(platform, context, &decision.lookup)) {
    decision.outcome = Outcome::kNotInstalled;
    return decision;
  }
  // Versions compare as text: "10" sorts before "9".
  decision.decimalSeparator = platform.DecimalSeparator();
  decision.version = TestVersion(platform, context.offeredVersion, context.registryVersion,
                                 decision.decimalSeparator);
  if (!decision.version.newer) {
    decision.outcome = Outcome::kNotNewer;
    return decision;
  }
  decision.outcome = IsDeveloperBuildFolder(platform, context.installFolder) ? Outcome::kBuildFolder
                                                                             : Outcome::kOffer;
  return decision;
}

namespace {

// Surrounding blanks are no part of a version.
std::wstring Trimmed(const std::wstring& text) {
  const std::size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return std::wstring();
  return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

// Digits, at most one "." or "," and digits again: a decimal number alone.
bool IsDecimalNumber(const std::wstring& text) {
  std::size_t pos = 0;
  while (pos < text.size() && IsDigit(text[pos])) ++pos;
  if (pos == 0) return false;
  if (pos < text.size() && (text[pos] == L'.' || text[pos] == L',')) {
    const std::size_t fraction = ++pos;
    while (pos < text.size() && IsDigit(text[pos])) ++pos;
    if (pos == fraction) return false;
  }
  return pos == text.size();
}

}  // namespace

std::wstring OfferedVersionInLocale(const std::wstring& offered,
                                    const std::wstring& decimalSeparator) {
  std::wstring number = Trimmed(offered);
  if (IsDecimalNumber(number)) {
    // Written by the very rule that writes the installed version, which
    // reads "." as the decimal point.
    for (wchar_t& c : number) {
      if (c == L',') c = L'.';
    }
    return NormalizeInstalledVersion(number, decimalSeparator);
  }
  std::size_t pos = offered.find_first_not_of(L" \t");
  if (pos == std::wstring::npos || !IsDigit(offered[pos])) return offered;
  while (pos < offered.size() && IsDigit(offered[pos])) ++pos;
  if (pos + 1 < offered.size() && (offered[pos] == L'.' || offered[pos] == L',') &&
      IsDigit(offered[pos + 1])) {
    return offered.substr(0, pos) + decimalSeparator + offered.substr(pos + 1);
  }
  return offered;
}

VersionTest TestVersion(Platform& platform, const std::wstring& offered,
                        const std::wstring& registryVersion, const std::wstring& decimalSeparator) {
  VersionTest test;
  test.offered = OfferedVersionInLocale(offered, decimalSeparator);
  test.installed = NormalizeInstalledVersion(registryVersion, decimalSeparator);
  // The product writes the version it was shipped as: the same text is the
  // same version, however the installed side reads it as a number ("5.3.1"
  // reads as 5.3, "7 beta" as 7).
  test.sameText =
      !Trimmed(offered).empty() && TextEquals(platform, Trimmed(offered), Trimmed(registryVersion));
  test.order = TextCompare(platform, test.offered, test.installed);
  test.newer = !test.sameText && test.order > 0;
  return test;
}

bool IsDeveloperBuildFolder(Platform& platform, const std::wstring& installFolder) {
  // Any spelling Windows resolves to a build folder is that folder: by its
  // text first, then as the system finds it (long names for short ones), and
  // where both exist, by identity (a share of the same disk, say).
  const std::wstring folder = CanonicalWindowsFolder(installFolder);
  const FolderPlace place = platform.LocateFolder(installFolder);
  const std::wstring located = CanonicalWindowsFolder(place.path);
  for (const wchar_t* buildFolder : DeveloperBuildFolders()) {
    if (TextEquals(platform, folder, buildFolder) || TextEquals(platform, located, buildFolder)) {
      return true;
    }
    if (!place.identified) continue;
    const FolderPlace build = platform.LocateFolder(buildFolder);
    if (build.identified && build.volume == place.volume && build.fileId == place.fileId) {
      return true;
    }
  }
  return false;
}

std::wstring SummaryText(const CopyReport& report) {
  const std::wstring br = L"\r\n";
  const Section updated(report.updated);
  const Section failed(report.failed);
  std::size_t fixed = 1;                   // the heading
  if (!report.failed.empty()) fixed += 2;  // an empty line and the failures' heading
  if (report.listCut) fixed += 2;          // an empty line and the cut line
  const std::size_t budget = kSummaryMaxLines - fixed;

  std::size_t shownUpdated = updated.entries.size();
  std::size_t shownFailed = failed.entries.size();
  if (updated.total + failed.total > budget) {
    // The failures matter most: the updated files give way to them first,
    // down to the one line that counts them.
    const std::size_t countLine = report.updated.empty() ? 0 : 1;
    if (failed.total + countLine <= budget) {
      shownUpdated = updated.Fitting(budget - failed.total - countLine);
    } else {
      shownUpdated = 0;
      shownFailed = failed.Fitting(budget - countLine - 1);
    }
  }

  std::wstring text = kUpdatedHeading + br;
  text += updated.Text(
      shownUpdated, MoreLine(shownUpdated, updated.entries.size() - shownUpdated, L"er opdateret"),
      br);
  if (!report.failed.empty()) {
    text += br + kFailedHeading + br;
    text += failed.Text(
        shownFailed,
        MoreLine(shownFailed, failed.entries.size() - shownFailed, L"kunne ikke opdateres"), br);
  }
  if (report.listCut) text += br + kListCut + br;
  return text;
}

unsigned SummaryFlags(const CopyReport& report) {
  return report.failed.empty() && !report.listCut ? kMbIconInformation : kMbIconWarning;
}

void RunUpdate(Platform& platform, const BuildConstants& build) {
  Decision decision = DecideUpdate(platform, build);
  if (decision.outcome != Outcome::kOffer) platform.EndProgram();
  UpdateContext& context = decision.context;
  const std::wstring& br = context.lineBreak;
  ManifestReader reader(platform);

  // The product may start the updater at every launch: only one of them
  // goes on to ask the user, and only that one reads the payload.
  if (!platform.ClaimSingleInstance(context.productId)) platform.EndProgram();

  // A payload that is not yet complete and exact is not offered: the next
  // delivery may mend it.
  CheckDecisionPayload(platform, &decision);
  if (decision.outcome != Outcome::kOffer) platform.EndProgram();
  const PayloadCheck& payload = decision.payload;

  const std::wstring title = Title(context);
  const int answer = platform.ShowMessage(
      L"Der er en ny version af " + context.displayName + br + br + L"Ønsker du at opdatere nu ?",
      kMbYesNo, title);
  // Only a Yes goes on: No, a box that could not be shown and a box closed
  // without an answer (its close button, a session ending) all end the run.
  if (answer != kIdYes) platform.EndProgram();

  platform.ShowMessage(L"Venligst afslut " + context.displayName + br + br +
                           L"Husk at tage backup !" + br + br + L"Tryk på Ok når " +
                           context.displayName + L" er lukket.",
                       kMbIconInformation, title);

  if (!WaitForLockRelease(platform, context.lockPath, context.lockName)) {
    platform.ShowMessage(L"Programmet " + context.displayName +
                             L" er ikke lukket rigtigt og kan derfor ikke opdateres.",
                         kMbIconError, title);
    platform.EndProgram();
  }

  // Second pass: the entries, strictly in file order. Only copies that
  // really happened are listed as updated; the rest are listed with a reason.
  CopyReport report;
  if (!reader.open(ManifestPath(context))) {
    report.listCut = true;
  } else {
    // The list itself must still be the one checked: a manifest replaced
    // while the updater waited copies nothing.
    Sha256 manifest;
    const bool listChanged =
        payload.present &&
        (!platform.HashFile(ManifestPath(context), &manifest) || manifest != payload.manifest);
    context.offeredVersion = reader.readField().value_or(std::wstring());
    bool terminated = false;
    while (const std::optional<ManifestEntry> entry = NextEntry(platform, reader, &terminated)) {
      // Under a checksum file each copy is held to the digest found at the
      // check. A source checked then is copied even when it seems gone, so
      // that the summary tells it; one that was not checked, or any when the
      // list has changed since, is not copied.
      const Sha256* expected = payload.present ? payload.verified.Find(entry->source) : nullptr;
      const SourceFate fate = TestSource(platform, context.tempFolder, entry->source);
      const bool vanished = expected != nullptr && fate == SourceFate::kMissing;
      if (fate != SourceFate::kPresent && fate != SourceFate::kUnknown && !vanished) continue;

      const std::wstring destinationName = entry->destination.value_or(std::wstring());
      const std::wstring destination = context.installFolder + destinationName;
      CopyError error;
      if (!IsSafeDestination(destinationName)) {
        error = CopyError::kInvalidName;
      } else if (payload.present && (expected == nullptr || listChanged)) {
        error = CopyError::kChanged;
      } else {
        error = CopyWithRetry(platform, context.tempFolder + entry->source, destination, expected);
      }
      if (error == CopyError::kNone) {
        report.updated.push_back(destination);
      } else {
        report.failed.push_back(Printable(destination) + L" (" + CopyErrorReason(error) + L")");
      }
    }
    // A read that failed ended the list early; a manifest that simply ends
    // without "slut" is read to its end.
    report.listCut = reader.failed() && !terminated;
    reader.close();
  }

  context.summary = SummaryText(report);
  platform.ShowMessage(context.summary, SummaryFlags(report), title);
  platform.EndProgram();
  std::abort();  // not reached: EndProgram does not return
}

}  // namespace updater
