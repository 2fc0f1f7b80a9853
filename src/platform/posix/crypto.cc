// OpenSSL's libcrypto, loaded when first needed: SHA-256 and ECDSA P-256.
// Linked into the program, its start-up probe of the processor would run at
// every product start, and in a virtual machine each of its CPUID
// instructions is a trip to the host. Its low-level calls are used (the EVP
// road needs the library's whole provider machinery); its headers give the
// types only.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "platform/posix/crypto.h"

#include <dlfcn.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/obj_mac.h>
#include <openssl/sha.h>

#include <type_traits>

namespace updater {
namespace posix {
namespace {

// The library's calls; each group null when it cannot be had.
struct Libcrypto {
  decltype(&SHA256_Init) init = nullptr;
  decltype(&SHA256_Update) update = nullptr;
  decltype(&SHA256_Final) final = nullptr;
  decltype(&EC_KEY_new_by_curve_name) newKey = nullptr;
  decltype(&EC_KEY_free) freeKey = nullptr;
  decltype(&EC_KEY_set_public_key_affine_coordinates) setPublic = nullptr;
  decltype(&EC_KEY_set_private_key) setPrivate = nullptr;
  decltype(&EC_KEY_generate_key) generate = nullptr;
  decltype(&EC_KEY_get0_private_key) getPrivate = nullptr;
  decltype(&EC_KEY_get0_public_key) getPublic = nullptr;
  decltype(&EC_KEY_get0_group) getGroup = nullptr;
  decltype(&EC_POINT_get_affine_coordinates) getAffine = nullptr;
  decltype(&BN_bin2bn) binToBn = nullptr;
  decltype(&BN_bn2binpad) bnToBin = nullptr;
  decltype(&BN_new) newBn = nullptr;
  decltype(&BN_free) freeBn = nullptr;
  decltype(&ECDSA_SIG_new) newSig = nullptr;
  decltype(&ECDSA_SIG_free) freeSig = nullptr;
  decltype(&ECDSA_SIG_set0) setSig = nullptr;
  decltype(&ECDSA_SIG_get0) getSig = nullptr;
  decltype(&ECDSA_do_verify) verify = nullptr;
  decltype(&ECDSA_do_sign) sign = nullptr;

  bool digests() const { return init && update && final; }
  bool curves() const {
    return newKey && freeKey && setPublic && setPrivate && generate && getPrivate && getPublic &&
           getGroup && getAffine && binToBn && bnToBin && newBn && freeBn && newSig && freeSig &&
           setSig && getSig && verify && sign;
  }

  static const Libcrypto& Get() {
    static const Libcrypto library = Load();
    return library;
  }

 private:
  static Libcrypto Load() {
    for (const char* name : {"libcrypto.so.3", "libcrypto.so"}) {
      void* handle = ::dlopen(name, RTLD_LAZY | RTLD_LOCAL);
      if (handle == nullptr) continue;
      Libcrypto library;
      const auto find = [handle](auto* slot, const char* symbol) {
        *slot = reinterpret_cast<std::remove_pointer_t<decltype(slot)>>(::dlsym(handle, symbol));
      };
      find(&library.init, "SHA256_Init");
      find(&library.update, "SHA256_Update");
      find(&library.final, "SHA256_Final");
      find(&library.newKey, "EC_KEY_new_by_curve_name");
      find(&library.freeKey, "EC_KEY_free");
      find(&library.setPublic, "EC_KEY_set_public_key_affine_coordinates");
      find(&library.setPrivate, "EC_KEY_set_private_key");
      find(&library.generate, "EC_KEY_generate_key");
      find(&library.getPrivate, "EC_KEY_get0_private_key");
      find(&library.getPublic, "EC_KEY_get0_public_key");
      find(&library.getGroup, "EC_KEY_get0_group");
      find(&library.getAffine, "EC_POINT_get_affine_coordinates");
      find(&library.binToBn, "BN_bin2bn");
      find(&library.bnToBin, "BN_bn2binpad");
      find(&library.newBn, "BN_new");
      find(&library.freeBn, "BN_free");
      find(&library.newSig, "ECDSA_SIG_new");
      find(&library.freeSig, "ECDSA_SIG_free");
      find(&library.setSig, "ECDSA_SIG_set0");
      find(&library.getSig, "ECDSA_SIG_get0");
      find(&library.verify, "ECDSA_do_verify");
      find(&library.sign, "ECDSA_do_sign");
      if (library.digests()) return library;
      ::dlclose(handle);
    }
    return Libcrypto();
  }
};

// A P-256 key of libcrypto, freed at the end of its scope.
class Key {
 public:
  explicit Key(const Libcrypto& crypto)
      : crypto_(crypto), key_(crypto.newKey(NID_X9_62_prime256v1)) {}
  ~Key() {
    if (key_ != nullptr) crypto_.freeKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  EC_KEY* get() const { return key_; }

  // Sets the public point; false when it is no point of the curve.
  bool SetPoint(const P256Point& point) {
    BIGNUM* x = crypto_.binToBn(point.data(), 32, nullptr);
    BIGNUM* y = crypto_.binToBn(point.data() + 32, 32, nullptr);
    const bool set = x != nullptr && y != nullptr && crypto_.setPublic(key_, x, y) == 1;
    crypto_.freeBn(x);
    crypto_.freeBn(y);
    return set;
  }

 private:
  const Libcrypto& crypto_;
  EC_KEY* key_;
};

}  // namespace

struct Hasher::Context {
  SHA256_CTX sha;
};

Hasher::Hasher() {
  const Libcrypto& crypto = Libcrypto::Get();
  if (!crypto.digests()) return;
  context_ = std::make_unique<Context>();
  if (crypto.init(&context_->sha) != 1) context_.reset();
}

Hasher::~Hasher() = default;

void Hasher::Add(const char* bytes, std::size_t size) {
  Libcrypto::Get().update(&context_->sha, bytes, size);
}

Sha256 Hasher::Finish() {
  Sha256 digest;
  Libcrypto::Get().final(digest.data(), &context_->sha);
  return digest;
}

bool HashBytes(const std::string& bytes, Sha256* digest) {
  Hasher hasher;
  if (!hasher.ok()) return false;
  hasher.Add(bytes.data(), bytes.size());
  *digest = hasher.Finish();
  return true;
}

SignatureCheck VerifyP256(const P256Point& point, const Sha256& digest,
                          const P256Signature& signature) {
  const Libcrypto& crypto = Libcrypto::Get();
  if (!crypto.curves()) return SignatureCheck::kUnavailable;
  Key key(crypto);
  if (key.get() == nullptr) return SignatureCheck::kUnavailable;
  if (!key.SetPoint(point)) return SignatureCheck::kBadKey;
  ECDSA_SIG* sig = crypto.newSig();
  if (sig == nullptr) return SignatureCheck::kUnavailable;
  BIGNUM* r = crypto.binToBn(signature.data(), 32, nullptr);
  BIGNUM* s = crypto.binToBn(signature.data() + 32, 32, nullptr);
  if (r == nullptr || s == nullptr || crypto.setSig(sig, r, s) != 1) {
    crypto.freeBn(r);
    crypto.freeBn(s);
    crypto.freeSig(sig);
    return SignatureCheck::kUnavailable;
  }
  const int verified =
      crypto.verify(digest.data(), static_cast<int>(digest.size()), sig, key.get());
  crypto.freeSig(sig);
  return verified == 1 ? SignatureCheck::kValid : SignatureCheck::kInvalid;
}

bool GenerateP256(std::array<unsigned char, 32>* privateKey, P256Point* point) {
  const Libcrypto& crypto = Libcrypto::Get();
  if (!crypto.curves()) return false;
  Key key(crypto);
  if (key.get() == nullptr || crypto.generate(key.get()) != 1) return false;
  BIGNUM* x = crypto.newBn();
  BIGNUM* y = crypto.newBn();
  const bool made = x != nullptr && y != nullptr &&
                    crypto.getAffine(crypto.getGroup(key.get()), crypto.getPublic(key.get()), x, y,
                                     nullptr) == 1 &&
                    crypto.bnToBin(x, point->data(), 32) == 32 &&
                    crypto.bnToBin(y, point->data() + 32, 32) == 32 &&
                    crypto.bnToBin(crypto.getPrivate(key.get()), privateKey->data(), 32) == 32;
  crypto.freeBn(x);
  crypto.freeBn(y);
  return made;
}

bool SignP256(const std::array<unsigned char, 32>& privateKey, const Sha256& digest,
              P256Signature* signature) {
  const Libcrypto& crypto = Libcrypto::Get();
  if (!crypto.curves()) return false;
  Key key(crypto);
  BIGNUM* d = crypto.binToBn(privateKey.data(), 32, nullptr);
  const bool set = key.get() != nullptr && d != nullptr && crypto.setPrivate(key.get(), d) == 1;
  crypto.freeBn(d);
  if (!set) return false;
  ECDSA_SIG* sig = crypto.sign(digest.data(), static_cast<int>(digest.size()), key.get());
  if (sig == nullptr) return false;
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  crypto.getSig(sig, &r, &s);
  const bool signed_ = crypto.bnToBin(r, signature->data(), 32) == 32 &&
                       crypto.bnToBin(s, signature->data() + 32, 32) == 32;
  crypto.freeSig(sig);
  return signed_;
}

}  // namespace posix
}  // namespace updater
