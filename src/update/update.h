// The update driver: decides whether the update in the temporary folder
// applies to the installed product, asks the user, waits for the product to
// close, copies the payload and reports what it did.
#pragma once

#include <array>
#include <cstdint>
#include <string>

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

// Runs the whole update for the product `build` names and ends the program
// through the platform; it never returns.
[[noreturn]] void RunUpdate(Platform& platform, const BuildConstants& build);

// Checks one destination name from the manifest before anything is written:
// true when it names a file inside the install folder. Empty names, rooted
// names, drives, any ":" (also an alternate data stream), ".." components,
// characters Windows forbids in names and device names are refused.
bool IsSafeDestination(const std::wstring& destinationName);

}  // namespace updater
