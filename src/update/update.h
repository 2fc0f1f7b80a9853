// The update driver: decides whether the update in the temporary folder
// applies to the installed product, asks the user, waits for the product to
// close, copies the payload and reports what it did.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "manifest/manifest_reader.h"
#include "platform/platform.h"
#include "update/checksums.h"

namespace updater {

// What one build is made for: the product identifier (manifest name, profile
// and every box title) and the product's name inside message texts.
struct BuildConstants {
  std::wstring productId;
  std::wstring displayName;
};

// The constants this build was configured with.
BuildConstants ThisBuild();

// Where a product keeps its install data. All keys lie under
// HKEY_CURRENT_USER; every product keeps its version in "Version".
struct ProductProfile {
  const wchar_t* identifier;
  const char* registryKey;
  const char* installFolderValue;
  const wchar_t* lockFileName;
};

const std::array<ProductProfile, 2>& ProductProfiles();

// The developer build folders, which the updater never touches.
const std::array<const wchar_t*, 2>& DeveloperBuildFolders();

// A registry value as read: nothing yet, text, or a 32-bit integer.
struct RegistryValue {
  enum class Kind { kEmpty, kText, kInteger };
  Kind kind = Kind::kEmpty;
  std::wstring text;
  std::int32_t integer = 0;

  // "" when empty, the text itself, or the integer's decimal digits.
  std::wstring AsText() const;
};

// The working record of one run.
struct UpdateContext {
  std::wstring productId;
  std::wstring displayName;
  std::wstring lineBreak;
  std::wstring tempFolder;
  std::wstring offeredVersion;
  std::wstring installedVersion;
  std::wstring registryVersion;  // the registry's "Version" as text, as read
  std::wstring installFolder;
  std::wstring lockPath;
  std::wstring lockName;
  std::wstring summary;
  RegistryKey registryKey = 0;
  RegistryValue valueSlot;
};

// The offered version as the version test reads it. A version that is a
// decimal number alone (digits, at most one "." or "," and digits, blanks
// around it) is written as the installed one is: the user's decimal
// separator, no leading and no trailing zeros, so that "6.0" meets an
// installed "6" and "5,20" an installed "5.2" as the same version.
// Otherwise only the decimal mark of its leading number (the first "." or
// "," with a digit on each side) becomes `decimalSeparator`, and the rest
// stays as the manifest gives it.
std::wstring OfferedVersionInLocale(const std::wstring& offered,
                                    const std::wstring& decimalSeparator);

// The version test and what it compared.
struct VersionTest {
  std::wstring offered;    // the offered version as read (OfferedVersionInLocale)
  std::wstring installed;  // the installed version as NormalizeInstalledVersion wrote it
  bool sameText = false;   // the offered version is the registry's own text
  int order = 0;           // offered against installed as text: <0, 0 or >0
  bool newer = false;      // the offered version sorts after the installed one
};

// The version test: the offered version (as the manifest gives it) is newer
// when it is not the registry's own text `registryVersion` (without regard
// to letter case and surrounding blanks) and, read as OfferedVersionInLocale
// reads it, sorts after the installed version as NormalizeInstalledVersion
// writes it with `decimalSeparator`. Versions compare as text without regard
// to letter case, so 10 sorts before 9.
VersionTest TestVersion(Platform& platform, const std::wstring& offered,
                        const std::wstring& registryVersion, const std::wstring& decimalSeparator);

// The build-folder guard: true when `installFolder` is one of the developer
// build folders however it is written ("/", doubled "\", ".", "..",
// trailing dots and spaces, the "\\?\" prefix, a short name), or, where
// both exist, the same folder by its identity.
bool IsDeveloperBuildFolder(Platform& platform, const std::wstring& installFolder);

// What the copy pass did, for the summary box.
struct CopyReport {
  std::vector<std::wstring> updated;  // full destination paths, copied
  std::vector<std::wstring> failed;   // "destination (reason)", not copied
  bool listCut = false;               // the manifest could not be read to its end
};

// The summary box must fit a 1366 x 768 screen at 125 % scaling: at most
// this many lines of text, none longer than this many characters. A line
// longer than kSummaryWrapColumns may be wrapped once more by the box
// itself (at a space) and counts as two.
constexpr std::size_t kSummaryMaxLines = 24;
constexpr std::size_t kSummaryMaxColumns = 90;
constexpr std::size_t kSummaryWrapColumns = 64;

// The summary's text: the updated files under "Følgende filer er opdateret:",
// the failures apart under "Følgende filer kunne ikke opdateres:", and a
// line of its own when the list was cut. A summary within the bounds above is
// shown whole; otherwise a line too long is broken after a "\", and when
// the lines are still too many, each section shows its first entries and
// then how many more there are, the updated files giving way first.
std::wstring SummaryText(const CopyReport& report);

// The summary box's icon: a warning when anything was not updated or the
// list was cut, else information.
unsigned SummaryFlags(const CopyReport& report);

// The short Danish reason a failed copy is listed with ("mappen findes
// ikke", "adgang nægtet" ...).
const wchar_t* CopyErrorReason(CopyError error);

// Runs the whole update for the product `build` names and ends the program
// through the platform; it never returns.
[[noreturn]] void RunUpdate(Platform& platform, const BuildConstants& build);

// Why a destination name from the manifest is refused before anything is
// written; kNone when it names a file inside the install folder.
enum class DestinationFault {
  kNone,
  kEmpty,               // no name at all
  kRooted,              // starts with "\" or "/": the root of the drive
  kDriveOrStream,       // a ":" (a drive, or an alternate data stream)
  kForbiddenCharacter,  // < > " | ? * or a control character
  kEmptyComponent,      // a doubled or trailing separator
  kClimbs,              // ".." or another component of dots and spaces only
  kDeviceName,          // CON, NUL, COM1 and the like, with any extension
};

DestinationFault CheckDestination(const std::wstring& destinationName);

// True when CheckDestination finds nothing against the name.
bool IsSafeDestination(const std::wstring& destinationName);

// What the presence test of an entry's source found in the temporary folder.
// Only kPresent and kUnknown lead to a copy.
enum class SourceFate {
  kPresent,     // the file is there under that name
  kUnknown,     // the folder could not be searched: the copy decides
  kEmpty,       // the source field is empty
  kFolderPart,  // the name has a folder part, which the test never matches
  kWildcard,    // the name is a pattern, not the name of the file it finds
  kMissing,     // no such file (or only a hidden one, or a folder)
};

SourceFate TestSource(Platform& platform, const std::wstring& tempFolder,
                      const std::wstring& source);

// One entry of the manifest's list, as the second pass reads it.
struct ManifestEntry {
  std::wstring source;
  std::optional<std::wstring> destination;  // no value: the file ended first
  ManifestReader::FieldInfo sourceField;
  ManifestReader::FieldInfo destinationField;
};

// The next entry from `reader`, whose version field has been read; no value
// at the terminator (`terminated` is then set) or when the list ends without
// it.
std::optional<ManifestEntry> NextEntry(Platform& platform, ManifestReader& reader,
                                       bool* terminated);

// The manifest's name: the product identifier and ".ini".
std::wstring ManifestFileName(const std::wstring& productId);

// The manifest's path: the temporary folder and the manifest's name.
std::wstring ManifestPath(const UpdateContext& context);

// Why a run ends before it asks, or that it asks.
enum class Outcome {
  kOffer,         // the update prompt is shown
  kNoManifest,    // no manifest, a hidden one, or its presence test failed
  kNotInstalled,  // no product in the registry, or its folder is not absolute
  kNotNewer,      // the offered version does not sort after the installed one
  kBuildFolder,   // the install folder is a developer build folder
  kIncomplete,    // the payload does not keep the checksum file's promise
};

// What the look-up of the installed product read, for those who explain it.
struct LookupTrace {
  bool profileFound = false;
  std::string registryKey;
  std::wstring folderValueName;
  std::int32_t openStatus = kErrorFileNotFound;
  struct Read {
    std::int32_t status = kErrorFileNotFound;
    std::uint32_t type = 0;  // as the registry gave it, 0 when not read
    RegistryValue value;     // the slot after the read
  };
  Read version;
  Read folder;
};

// The decision half of a run, up to the moment it would ask: the temporary
// folder, the manifest, the offered version, the installed product, the
// version test and the build-folder guard, each step as RunUpdate takes it.
// Reads only; `context` holds what the steps found.
struct Decision {
  Outcome outcome = Outcome::kNoManifest;
  UpdateContext context;
  FindResult manifest;
  bool manifestOpened = false;
  std::wstring decimalSeparator;
  LookupTrace lookup;
  VersionTest version;   // made when a product is installed
  PayloadCheck payload;  // filled in by CheckDecisionPayload
};

// Every step up to the build-folder guard; the outcome is kOffer when the
// update would be offered as far as they go.
Decision DecideUpdate(Platform& platform, const BuildConstants& build);

// The last step before asking, taken only when the steps before it would
// offer the update, since it reads the whole payload: with a checksum file
// beside the manifest, the payload is held against it, and the outcome
// becomes kIncomplete when it does not keep its promise.
void CheckDecisionPayload(Platform& platform, Decision* decision);

}  // namespace updater
