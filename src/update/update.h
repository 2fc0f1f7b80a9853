// The update driver: decides whether the update in the temporary folder
// applies to the installed product, asks the user, waits for the product to
// close, copies the payload and reports what it did.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

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
  std::wstring installFolder;
  std::wstring lockPath;
  std::wstring lockName;
  std::wstring summary;
  RegistryKey registryKey = 0;
  RegistryValue valueSlot;
};

// The offered version as the version test reads it: the decimal mark of its
// leading number (the first "." or "," with a digit on each side) becomes
// `decimalSeparator`, the mark the installed version is written with, so
// that one manifest compares the same on every locale. The rest stays as the
// manifest gives it.
std::wstring OfferedVersionInLocale(const std::wstring& offered,
                                    const std::wstring& decimalSeparator);

// The version test: true when `offered` (as the manifest gives it) sorts
// after `installed` (as NormalizeInstalledVersion wrote it with
// `decimalSeparator`). Versions compare as text without regard to letter
// case, so 10 sorts before 9.
bool IsNewerVersion(Platform& platform, const std::wstring& offered, const std::wstring& installed,
                    const std::wstring& decimalSeparator);

// The build-folder guard: true when `installFolder` is one of the developer
// build folders, also when written with "/" or with doubled "\".
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

// Runs the whole update for the product `build` names and ends the program
// through the platform; it never returns.
[[noreturn]] void RunUpdate(Platform& platform, const BuildConstants& build);

// Checks one destination name from the manifest before anything is written:
// true when it names a file inside the install folder. Empty names, rooted
// names, drives, any ":" (also an alternate data stream), ".." components,
// characters Windows forbids in names and device names are refused.
bool IsSafeDestination(const std::wstring& destinationName);

}  // namespace updater
