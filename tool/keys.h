// The maker's keys as files: a private key in PEM (PKCS#8 "PRIVATE KEY", as
// updater-tool keygen and `openssl genpkey` write it, or the "EC PRIVATE
// KEY" that `openssl ecparam -genkey` writes), its public half in PEM, and
// the signature of an update's checksum file made with it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/signing.h"
#include "update/signatures.h"

namespace updater::tool {

// A P-256 key pair.
struct MakerKey {
  P256PrivateKey key;
  P256Point point;
};

// The key pair in the PEM text `pem`; no value, and why in `why`, for
// anything else (an encrypted key, another curve, a key without its public
// half).
std::optional<MakerKey> ParsePrivateKeyPem(const std::string& pem, std::wstring* why);

// The PEM texts of `key`: its private half as PKCS#8, its public half as a
// SubjectPublicKeyInfo.
std::string PrivateKeyPem(const MakerKey& key);
std::string PublicKeyPem(const P256Point& point);

// A file's bytes; no value when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::wstring& path);
std::optional<std::string> ReadFileBytes(const std::filesystem::path& path);

// True when `key` signs what its own public half verifies, as the updater
// checks a signature; false, with why in `why`, for a key file whose halves
// do not belong together, or when the system cannot sign.
bool CheckKeyPair(Platform& platform, Signing& signing, const MakerKey& key, std::wstring* why);

// Signs the checksum file of `productId` in `folder` with `key` and checks
// the signature with the key's public half before it writes it: the DER
// signature (as openssl writes it) beside the file, under a passing name
// then renamed. False, with why in `why`, when it cannot.
bool SignChecksumFile(Platform& platform, Signing& signing, const std::wstring& folder,
                      const std::wstring& productId, const MakerKey& key, std::wstring* why);

// Writes `bytes` as the file `name` in `folder` under a passing name
// (".pack-tmp") renamed at the end, so that the folder never holds half of
// it; false when it cannot, and then nothing is left.
bool WriteWhole(const std::filesystem::path& folder, const std::wstring& name,
                const std::string& bytes);

// The public key in the PEM file `path`; no value, and why in `why`.
std::optional<PublicKey> ReadPublicKeyFile(const std::wstring& path, std::wstring* why);

}  // namespace updater::tool
