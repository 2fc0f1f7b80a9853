// What updater-tool asks of the system's cryptography to make a maker's keys
// and signatures: ECDSA on P-256. Only the tool links a realisation; the
// updater only checks signatures (Platform::VerifyP256).
#pragma once

#include <array>

#include "platform/platform.h"

namespace updater {

// The private half of a P-256 key: its scalar, 32 bytes big-endian.
using P256PrivateKey = std::array<unsigned char, 32>;

class Signing {
 public:
  virtual ~Signing() = default;

  // A new key pair: true, its private scalar and its public point; false
  // when the system's cryptography cannot be had or fails.
  virtual bool GenerateP256(P256PrivateKey* key, P256Point* point) = 0;

  // An ECDSA signature of `digest` by the key of private scalar `key` and
  // public point `point`; false when it cannot be made.
  virtual bool SignP256(const P256PrivateKey& key, const P256Point& point, const Sha256& digest,
                        P256Signature* signature) = 0;
};

// The realisation for this system.
Signing& SystemSigning();

}  // namespace updater
