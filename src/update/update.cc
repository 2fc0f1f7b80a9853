#include "update/update.h"

#include <cstdlib>
#include <optional>
#include <vector>

#include "build_config.h"
#include "lockwait/lock_wait.h"
#include "manifest/manifest_reader.h"
#include "update/registry_lookup.h"

namespace updater {
namespace {

// A virus scanner or indexer often holds a freshly written file for a
// moment: a copy that finds its file busy is tried again a few times.
constexpr int kBusyRetries = 5;
constexpr unsigned kBusyRetryPauseMs = 200;

const wchar_t kManifestExtension[] = L".ini";
const wchar_t kTerminator[] = L"slut";

std::wstring Title(const UpdateContext& context) { return L"Zorbe IT - " + context.productId; }

std::wstring ManifestPath(const UpdateContext& context) {
  return context.tempFolder + context.productId + kManifestExtension;
}

const wchar_t* Reason(CopyError error) {
  switch (error) {
    case CopyError::kFolderMissing: return L"mappen findes ikke";
    case CopyError::kAccessDenied: return L"adgang nægtet";
    case CopyError::kInUse: return L"filen er i brug";
    case CopyError::kInvalidName: return L"ugyldigt filnavn";
    case CopyError::kSourceMissing: return L"kildefilen mangler";
    case CopyError::kNoSpace: return L"disken er fuld";
    case CopyError::kNone:
    case CopyError::kOther: break;
  }
  return L"ukendt fejl";
}

// A refused name may hold line breaks or other control characters (a quoted
// manifest field can): shown as "?" they cannot break the summary's lines.
std::wstring Printable(std::wstring text) {
  for (wchar_t& c : text) {
    if (c < 32) c = L'?';
  }
  return text;
}

CopyError CopyWithRetry(Platform& platform, const std::wstring& source,
                        const std::wstring& destination) {
  CopyError error = platform.CopyFile(source, destination);
  for (int retry = 0; retry < kBusyRetries && error == CopyError::kInUse; ++retry) {
    platform.Sleep(kBusyRetryPauseMs);
    error = platform.CopyFile(source, destination);
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
    case L'*':
    case L':': return false;
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

bool IsSafeDestination(const std::wstring& name) {
  if (name.empty() || name[0] == L'\\' || name[0] == L'/') return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = name.size();
    const std::wstring component = name.substr(start, end - start);
    for (wchar_t c : component) {
      if (!IsNameCharacterAllowed(c)) return false;
    }
    // Windows drops trailing dots and spaces, so ". ." or "..." can climb
    // like "..": a component made only of dots and spaces is refused, and so
    // is an empty one (a doubled or trailing separator).
    if (component.find_first_not_of(L". ") == std::wstring::npos) return false;
    if (IsDeviceName(component)) return false;
    start = end + 1;
  }
  return true;
}

void RunUpdate(Platform& platform, const BuildConstants& build) {
  UpdateContext context;
  context.productId = build.productId;
  context.displayName = build.displayName;
  context.lineBreak = L"\r\n";
  context.tempFolder = platform.EnvironmentValue(L"temp") + L"\\";
  const std::wstring& br = context.lineBreak;

  // Nothing to do unless the manifest is there.
  const std::wstring manifestName = context.productId + kManifestExtension;
  const FindResult manifest = platform.FindFileName(ManifestPath(context));
  if (!manifest.ok || !TextEquals(platform, manifest.name, manifestName)) platform.EndProgram();

  // First pass over the manifest: the offered version only.
  ManifestReader reader(platform);
  if (reader.open(ManifestPath(context))) {
    context.offeredVersion = reader.readField().value_or(std::wstring());
    reader.close();
  }

  if (!LookupInstalledProduct(platform, context)) platform.EndProgram();

  // Versions compare as text: "10" sorts before "9".
  if (TextCompare(platform, context.offeredVersion, context.installedVersion) <= 0) {
    platform.EndProgram();
  }
  for (const wchar_t* folder : DeveloperBuildFolders()) {
    if (TextEquals(platform, context.installFolder, folder)) platform.EndProgram();
  }

  // The product may start the updater at every launch: only one of them
  // goes on to ask the user.
  if (!platform.ClaimSingleInstance(context.productId)) platform.EndProgram();

  const std::wstring title = Title(context);
  const int answer = platform.ShowMessage(
      L"Der er en ny version af " + context.displayName + br + br + L"Ønsker du at opdatere nu ?",
      kMbYesNo, title);
  if (answer == kIdNo || answer == 0) platform.EndProgram();

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
  context.summary = L"Følgende filer er opdateret:" + br;
  std::wstring failures;
  if (reader.open(ManifestPath(context))) {
    context.offeredVersion = reader.readField().value_or(std::wstring());
    for (;;) {
      const std::optional<std::wstring> source = reader.readField();
      if (!source || TextEquals(platform, *source, kTerminator)) break;
      const std::wstring destinationName = reader.readField().value_or(std::wstring());
      if (source->empty()) continue;
      const FindResult found = platform.FindFileName(context.tempFolder + *source);
      // A presence test that cannot be made lets the copy decide.
      if (found.ok && !TextEquals(platform, found.name, *source)) continue;

      const std::wstring destination = context.installFolder + destinationName;
      const CopyError error =
          IsSafeDestination(destinationName)
              ? CopyWithRetry(platform, context.tempFolder + *source, destination)
              : CopyError::kInvalidName;
      if (error == CopyError::kNone) {
        context.summary += destination + br;
      } else {
        failures += Printable(destination) + L" (" + Reason(error) + L")" + br;
      }
    }
    reader.close();
  }

  unsigned flags = kMbIconInformation;
  if (!failures.empty()) {
    context.summary += br + L"Følgende filer kunne ikke opdateres:" + br + failures;
    flags = kMbIconWarning;
  }
  platform.ShowMessage(context.summary, flags, title);
  platform.EndProgram();
  std::abort();  // not reached: EndProgram does not return
}

}  // namespace updater
