// What one build is made for and the products it knows: the build's
// constants, the table of product profiles, the developer build folders,
// and the names of the files an update is delivered in.
#pragma once

#include <array>
#include <string>

#include "update/context.h"
#include "update/signatures.h"

namespace updater {

// What one build is made for: the product identifier (manifest name, profile
// and every box title) and the product's name inside message texts.
struct BuildConstants {
  std::wstring productId;
  std::wstring displayName;
  // The makers' keys a signed build requires a signature by; none in an
  // unsigned build.
  std::vector<PublicKey> signingKeys;
};

// The keys of `list` (the base64 of each SubjectPublicKeyInfo, ended by a
// null), one for each entry: a key that cannot be read is kept as an
// unusable one, so that a signed build never loses a key quietly.
std::vector<PublicKey> ReadBuildKeys(const char* const* list);

// The public keys compiled into this build (none: an unsigned build).
std::vector<PublicKey> BuildSigningKeys();

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

// The profile whose identifier is `productId` (TextEquals); null when none.
const ProductProfile* FindProfile(Platform& platform, const std::wstring& productId);

// The developer build folders, which the updater never touches.
const std::array<const wchar_t*, 2>& DeveloperBuildFolders();

// The manifest's name: the product identifier and ".ini".
std::wstring ManifestFileName(const std::wstring& productId);

// The manifest's path: the temporary folder and the manifest's name.
std::wstring ManifestPath(const UpdateContext& context);

}  // namespace updater
