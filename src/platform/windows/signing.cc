// The maker's keys and signatures on Windows, through CNG.
#include "platform/signing.h"

#include "platform/windows/ecdsa.h"

namespace updater {
namespace {

class WindowsSigning final : public Signing {
 public:
  bool GenerateP256(P256PrivateKey* key, P256Point* point) override {
    return win::GenerateP256(key, point);
  }
  bool SignP256(const P256PrivateKey& key, const P256Point& point, const Sha256& digest,
                P256Signature* signature) override {
    return win::SignP256(key, point, digest, signature);
  }
};

}  // namespace

Signing& SystemSigning() {
  static WindowsSigning signing;
  return signing;
}

}  // namespace updater
