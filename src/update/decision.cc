// The decision half of a run, up to the moment the updater would ask.
#include "update/decision.h"

#include "manifest/manifest_reader.h"
#include "platform/windows_path.h"
#include "update/products.h"

namespace updater {
namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

}  // namespace

void CheckDecisionPayload(Platform& platform, const BuildConstants& build, Decision* decision) {
  if (decision->outcome != Outcome::kOffer) return;
  PayloadCheck& payload = decision->payload;
  payload = CheckPayload(platform, decision->context.tempFolder, decision->context.productId,
                         build.signingKeys);
  // What was checked must be what the version test read: a manifest
  // replaced in between is not the one decided on.
  if (payload.ok() && payload.manifestHeld) {
    ManifestReader reader(platform);
    reader.openBytes(payload.manifestBytes);
    if (reader.readField().value_or(std::wstring()) != decision->context.offeredVersion) {
      payload.problems.push_back(
          {PayloadFault::kManifestChanged, ManifestFileName(decision->context.productId)});
    }
  }
  if (!payload.ok()) decision->outcome = Outcome::kIncomplete;
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
  decision.decimalSeparator = decision.lookup.decimalSeparator;
  // A signed build never offers an older release, whatever its text.
  decision.version = TestVersion(platform, context.offeredVersion, context.registryVersion,
                                 decision.decimalSeparator, !build.signingKeys.empty());
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
                        const std::wstring& registryVersion, const std::wstring& decimalSeparator,
                        bool refuseOlder) {
  VersionTest test;
  test.offered = OfferedVersionInLocale(offered, decimalSeparator);
  test.installed = NormalizeInstalledVersion(registryVersion, decimalSeparator);
  // The product writes the version it was shipped as: the same text is the
  // same version, however the installed side reads it as a number ("5.3.1"
  // reads as 5.3, "7 beta" as 7).
  test.sameText =
      !Trimmed(offered).empty() && TextEquals(platform, Trimmed(offered), Trimmed(registryVersion));
  test.order = TextCompare(platform, test.offered, test.installed);
  // The offered version's number: its decimal mark, "." or ",", read as a
  // point, as the installed side reads its own.
  test.older =
      LeadingNumber(OfferedVersionInLocale(offered, L".")) < LeadingNumber(registryVersion);
  test.newer = !test.sameText && test.order > 0;
  test.rollback = test.newer && refuseOlder && test.older;
  if (test.rollback) test.newer = false;
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

}  // namespace updater
