// The system's cryptography on POSIX: OpenSSL's libcrypto, loaded when first
// needed, for SHA-256 digests and ECDSA P-256 signatures. Private to the
// POSIX files.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace updater {
namespace posix {

// A SHA-256 digest under way; ok() is false when libcrypto cannot be had.
class Hasher {
 public:
  Hasher();
  ~Hasher();
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;
  bool ok() const { return context_ != nullptr; }
  void Add(const char* bytes, std::size_t size);
  Sha256 Finish();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// The digest of `bytes`; false when libcrypto cannot be had.
bool HashBytes(const std::string& bytes, Sha256* digest);

// The check of an ECDSA P-256 signature, as Platform::VerifyP256.
SignatureCheck VerifyP256(const P256Point& point, const Sha256& digest,
                          const P256Signature& signature);

// For the maker's tool: a new key pair (the private scalar and the public
// point), and a signature of `digest` by the private scalar `key`; false
// when libcrypto cannot be had or fails.
bool GenerateP256(std::array<unsigned char, 32>* key, P256Point* point);
bool SignP256(const std::array<unsigned char, 32>& key, const Sha256& digest,
              P256Signature* signature);

}  // namespace posix
}  // namespace updater
