// The products this updater knows and the build it was made for.
#include "update/products.h"

#include "build_config.h"

namespace updater {
namespace {

const wchar_t kManifestExtension[] = L".ini";

}  // namespace

std::vector<PublicKey> ReadBuildKeys(const char* const* list) {
  std::vector<PublicKey> keys;
  for (const char* const* key = list; *key != nullptr; ++key) {
    const std::optional<std::string> der = DecodeBase64(*key);
    const std::optional<PublicKey> parsed = der ? ParsePublicKeyDer(*der) : std::nullopt;
    // A key that cannot be read stays in the list, unusable: a signed build
    // never turns into one that takes unsigned updates.
    keys.push_back(parsed.value_or(PublicKey()));
  }
  return keys;
}

std::vector<PublicKey> BuildSigningKeys() { return ReadBuildKeys(kBuildSigningKeys); }

BuildConstants ThisBuild() { return {kBuildProductId, kBuildDisplayName, BuildSigningKeys()}; }

const std::array<ProductProfile, 2>& ProductProfiles() {
  static const std::array<ProductProfile, 2> profiles = {{
      {L"OrvakLR", "Software\\Zorbe IT Service\\Drovanel", "Path", L"Drovanel.ldb"},
      {L"OrvakBK", "Software\\Zorbe IT Service\\Sylkum", "MDE", L"Sylkum.ldb"},
  }};
  return profiles;
}

const ProductProfile* FindProfile(Platform& platform, const std::wstring& productId) {
  for (const ProductProfile& profile : ProductProfiles()) {
    if (TextEquals(platform, profile.identifier, productId)) return &profile;
  }
  return nullptr;
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

std::wstring ManifestFileName(const std::wstring& productId) {
  return productId + kManifestExtension;
}

std::wstring ManifestPath(const UpdateContext& context) {
  return context.tempFolder + ManifestFileName(context.productId);
}

}  // namespace updater
