// The decision half of a run: the manifest and its offered version, the
// installed product, the version test and the build-folder guard, up to
// the moment the updater would ask.
#pragma once

#include <string>

#include "platform/platform.h"
#include "update/checksums.h"
#include "update/context.h"
#include "update/products.h"
#include "update/registry_lookup.h"

namespace updater {

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
  bool older = false;      // by number, the offered version is below the installed one
  bool rollback = false;   // sorts after it, but a signed build refuses an older number
  bool newer = false;      // the offered version is offered over the installed one
};

// The version test: the offered version (as the manifest gives it) is newer
// when it is not the registry's own text `registryVersion` (without regard
// to letter case and surrounding blanks) and, read as OfferedVersionInLocale
// reads it, sorts after the installed version as NormalizeInstalledVersion
// writes it with `decimalSeparator`. Versions compare as text without regard
// to letter case, so 10 sorts before 9. With `refuseOlder` (a signed
// build), a version whose number is below the installed one's is never
// newer, however it sorts: a validly signed older release is not installed
// over a newer one. Both numbers are read as the test reads the versions,
// so "5,3" is the number 5.3 on every PC.
VersionTest TestVersion(Platform& platform, const std::wstring& offered,
                        const std::wstring& registryVersion, const std::wstring& decimalSeparator,
                        bool refuseOlder = false);

// The build-folder guard: true when `installFolder` is one of the developer
// build folders however it is written ("/", doubled "\", ".", "..",
// trailing dots and spaces, the "\\?\" prefix, a short name), or, where
// both exist, the same folder by its identity.
bool IsDeveloperBuildFolder(Platform& platform, const std::wstring& installFolder);

// Why a run ends before it asks, or that it asks.
enum class Outcome {
  kOffer,         // the update prompt is shown
  kNoManifest,    // no manifest, a hidden one, or its presence test failed
  kNotInstalled,  // no product in the registry, or its folder is not absolute
  kNotNewer,      // the offered version does not sort after the installed one
  kBuildFolder,   // the install folder is a developer build folder
  kIncomplete,    // the payload does not keep the checksum file's promise
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
void CheckDecisionPayload(Platform& platform, const BuildConstants& build, Decision* decision);

}  // namespace updater
