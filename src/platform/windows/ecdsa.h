// ECDSA on P-256 through CNG (bcrypt, loaded when first needed): the check
// of a maker's signature, and, for the maker's tool, new keys and
// signatures. Private to the Windows files.
#pragma once

#include <array>

#include "platform/platform.h"

namespace updater::win {

// As Platform::VerifyP256.
SignatureCheck VerifyP256(const P256Point& point, const Sha256& digest,
                          const P256Signature& signature);

// A new key pair: its private scalar and its public point; false when CNG
// cannot be had or fails.
bool GenerateP256(std::array<unsigned char, 32>* key, P256Point* point);

// A signature of `digest` by the key whose private scalar is `key` and
// public point `point`; false when CNG cannot be had or fails.
bool SignP256(const std::array<unsigned char, 32>& key, const P256Point& point,
              const Sha256& digest, P256Signature* signature);

}  // namespace updater::win
