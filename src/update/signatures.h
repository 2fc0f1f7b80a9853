// The maker's signature over the checksum file, and the public keys a build
// carries to check it: ECDSA P-256 with SHA-256, in the forms openssl reads
// and writes. A public key is a PEM "PUBLIC KEY" (SubjectPublicKeyInfo); a
// signature is DER (ECDSA-Sig-Value, as `openssl dgst -sign` writes it) or
// the 64 bytes r and s (as CNG and hardware tokens give it). Everything is
// parsed strictly: one encoding of each value, no trailing bytes.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace updater {

// The largest signature file read: a DER signature takes at most 72 bytes.
constexpr std::size_t kMaxSignatureFileBytes = 256;

// A P-256 public key: its SubjectPublicKeyInfo (DER), and the point in it.
// A key a build was configured with but cannot read has neither: it is
// kept, unusable, so that the build still counts as signed and refuses
// every update rather than none.
struct PublicKey {
  std::string spki;
  P256Point point{};
  bool usable() const { return !spki.empty(); }
};

// The DER of a "PUBLIC KEY" PEM text: its one block, base64 without
// anything else; no value for anything else (a private key among them).
std::optional<std::string> PemBody(const std::string& pem, const char* label);

// Base64 to bytes, strictly (padding only at the end, no other
// characters); no value when it is not.
std::optional<std::string> DecodeBase64(const std::string& text);

// Bytes to base64, with padding, in lines of 64 characters each ended by
// "\n", as PEM writes them.
std::string EncodeBase64Lines(const std::string& bytes);

// True when `point` lies on the curve P-256: both coordinates below the
// field's prime, and y^2 = x^3 - 3x + b.
bool IsOnP256Curve(const P256Point& point);

// The key in a SubjectPublicKeyInfo of a P-256 key with its point
// uncompressed and on the curve; no value for any other.
std::optional<PublicKey> ParsePublicKeyDer(const std::string& spki);

// True when `spki` has the form of a P-256 key's SubjectPublicKeyInfo but
// its point is off the curve: why ParsePublicKeyDer refused it.
bool IsOffCurveP256Key(const std::string& spki);

// The key in a "PUBLIC KEY" PEM text; no value for anything else.
std::optional<PublicKey> ParsePublicKeyPem(const std::string& pem);

// The r and s of a signature file's bytes: a DER ECDSA-Sig-Value with each
// integer positive, minimally encoded and at most 32 bytes, or else 64 bytes
// taken as r and s; r and s must lie between 1 and the order of the curve's
// group. No value for anything else.
std::optional<P256Signature> ParseSignature(const std::string& bytes);

// A key's short name: the first 16 hex digits of the SHA-256 of its
// SubjectPublicKeyInfo; "?" when the digest cannot be had.
std::wstring KeyFingerprint(Platform& platform, const PublicKey& key);

// The SubjectPublicKeyInfo of `point`, as ParsePublicKeyDer reads it.
std::string PublicKeyDer(const P256Point& point);

// The DER ECDSA-Sig-Value of `signature`, as openssl writes it and
// ParseSignature reads it.
std::string SignatureDer(const P256Signature& signature);

}  // namespace updater
