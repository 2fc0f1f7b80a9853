// The maker's keys and signatures on POSIX, through libcrypto.
#include "platform/signing.h"

#include "platform/posix/crypto.h"

namespace updater {
namespace {

class PosixSigning final : public Signing {
 public:
  bool GenerateP256(P256PrivateKey* key, P256Point* point) override {
    return posix::GenerateP256(key, point);
  }
  bool SignP256(const P256PrivateKey& key, const P256Point&, const Sha256& digest,
                P256Signature* signature) override {
    return posix::SignP256(key, digest, signature);
  }
};

}  // namespace

Signing& SystemSigning() {
  static PosixSigning signing;
  return signing;
}

}  // namespace updater
