// `updater-tool keygen`: a maker's new signing key pair, as PEM files.
#include "keygen.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "keys.h"
#include "system.h"
#include "update/update.h"

namespace updater::tool {

namespace fs = std::filesystem;

KeygenOutcome Keygen(Signing& signing, const std::wstring& out, const std::wstring& name) {
  KeygenOutcome outcome;
  const fs::path folder = NativePath(out);
  const fs::path privatePath = folder / NativePath(name + L".pem");
  const fs::path publicPath = folder / NativePath(name + L".pub.pem");
  std::error_code error;
  if (fs::exists(privatePath, error) || fs::exists(publicPath, error)) {
    outcome.text = L"Nothing was written: " + out + L" holds a key named " + name + L" already.\n";
    return outcome;
  }
  MakerKey key;
  if (!signing.GenerateP256(&key.key, &key.point)) {
    outcome.text = L"The system's cryptography cannot make a key.\n";
    return outcome;
  }
  fs::create_directories(folder, error);
  {
    // Created empty and closed to all but its owner before the key goes in.
    std::ofstream(privatePath, std::ios::binary | std::ios::trunc).flush();
    fs::permissions(privatePath, fs::perms::owner_read | fs::perms::owner_write, error);
    std::ofstream written(privatePath, std::ios::binary | std::ios::trunc);
    written << PrivateKeyPem(key);
    std::ofstream pub(publicPath, std::ios::binary | std::ios::trunc);
    pub << PublicKeyPem(key.point);
    written.flush();
    pub.flush();
    if (!written || !pub) {
      fs::remove(privatePath, error);
      fs::remove(publicPath, error);
      outcome.text = L"Writing the key into " + out + L" failed.\n";
      return outcome;
    }
  }
  const std::optional<PublicKey> publicKey = ParsePublicKeyDer(PublicKeyDer(key.point));
  outcome.text = L"Wrote " + TextOf(privatePath) +
                 L" (the private key: keep it off the build "
                 L"machine, and safe) and " +
                 TextOf(publicPath) + L" (the public key, for UPDATER_SIGNING_KEYS).\n" +
                 L"Fingerprint: " +
                 (publicKey ? KeyFingerprint(SystemPlatform(), *publicKey) : L"?") + L"\n";
  outcome.status = 0;
  return outcome;
}

}  // namespace updater::tool
