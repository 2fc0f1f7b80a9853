// ECDSA on P-256 through CNG: keys go in and out as the blobs CNG takes
// (a header, then x, y and, for a private key, d, 32 bytes each).
#include "platform/windows/ecdsa.h"

#include <cstring>
#include <vector>

#include "platform/windows/library.h"

namespace updater::win {
namespace {

// The ECDSA P-256 provider and the calls made of it; ok() is false when CNG
// cannot be had.
class Ecdsa {
 public:
  Ecdsa() {
    SystemLibrary& cng = Bcrypt();
    const auto open =
        cng.Get<decltype(::BCryptOpenAlgorithmProvider)>("BCryptOpenAlgorithmProvider");
    close_ = cng.Get<decltype(::BCryptCloseAlgorithmProvider)>("BCryptCloseAlgorithmProvider");
    import_ = cng.Get<decltype(::BCryptImportKeyPair)>("BCryptImportKeyPair");
    export_ = cng.Get<decltype(::BCryptExportKey)>("BCryptExportKey");
    generate_ = cng.Get<decltype(::BCryptGenerateKeyPair)>("BCryptGenerateKeyPair");
    finalize_ = cng.Get<decltype(::BCryptFinalizeKeyPair)>("BCryptFinalizeKeyPair");
    destroy_ = cng.Get<decltype(::BCryptDestroyKey)>("BCryptDestroyKey");
    verify_ = cng.Get<decltype(::BCryptVerifySignature)>("BCryptVerifySignature");
    sign_ = cng.Get<decltype(::BCryptSignHash)>("BCryptSignHash");
    if (open == nullptr || close_ == nullptr || import_ == nullptr || export_ == nullptr ||
        generate_ == nullptr || finalize_ == nullptr || destroy_ == nullptr || verify_ == nullptr ||
        sign_ == nullptr ||
        !BCRYPT_SUCCESS(open(&algorithm_, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
      algorithm_ = nullptr;
    }
  }
  Ecdsa(const Ecdsa&) = delete;
  Ecdsa& operator=(const Ecdsa&) = delete;
  ~Ecdsa() {
    if (key_ != nullptr) destroy_(key_);
    if (algorithm_ != nullptr) close_(algorithm_, 0);
  }

  bool ok() const { return algorithm_ != nullptr; }

  // Imports the key of `x`, `y` and (for a private key) `d`.
  bool Import(const unsigned char* point, const unsigned char* d) {
    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + (d != nullptr ? 96 : 64));
    BCRYPT_ECCKEY_BLOB header;
    header.dwMagic =
        d != nullptr ? BCRYPT_ECDSA_PRIVATE_P256_MAGIC : BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = 32;
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, point, 64);
    if (d != nullptr) std::memcpy(blob.data() + sizeof header + 64, d, 32);
    return BCRYPT_SUCCESS(import_(algorithm_, nullptr,
                                  d != nullptr ? BCRYPT_ECCPRIVATE_BLOB : BCRYPT_ECCPUBLIC_BLOB,
                                  &key_, blob.data(), static_cast<ULONG>(blob.size()), 0));
  }

  NTSTATUS Verify(const Sha256& digest, const P256Signature& signature) {
    return verify_(key_, nullptr, const_cast<PUCHAR>(digest.data()),
                   static_cast<ULONG>(digest.size()), const_cast<PUCHAR>(signature.data()),
                   static_cast<ULONG>(signature.size()), 0);
  }

  bool Sign(const Sha256& digest, P256Signature* signature) {
    ULONG written = 0;
    return BCRYPT_SUCCESS(sign_(key_, nullptr, const_cast<PUCHAR>(digest.data()),
                                static_cast<ULONG>(digest.size()), signature->data(),
                                static_cast<ULONG>(signature->size()), &written, 0)) &&
           written == signature->size();
  }

  bool Generate(unsigned char* point, unsigned char* d) {
    if (!BCRYPT_SUCCESS(generate_(algorithm_, &key_, 256, 0)) ||
        !BCRYPT_SUCCESS(finalize_(key_, 0))) {
      return false;
    }
    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 96);
    ULONG written = 0;
    if (!BCRYPT_SUCCESS(export_(key_, nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(),
                                static_cast<ULONG>(blob.size()), &written, 0)) ||
        written != blob.size()) {
      return false;
    }
    std::memcpy(point, blob.data() + sizeof(BCRYPT_ECCKEY_BLOB), 64);
    std::memcpy(d, blob.data() + sizeof(BCRYPT_ECCKEY_BLOB) + 64, 32);
    return true;
  }

 private:
  decltype(::BCryptCloseAlgorithmProvider)* close_ = nullptr;
  decltype(::BCryptImportKeyPair)* import_ = nullptr;
  decltype(::BCryptExportKey)* export_ = nullptr;
  decltype(::BCryptGenerateKeyPair)* generate_ = nullptr;
  decltype(::BCryptFinalizeKeyPair)* finalize_ = nullptr;
  decltype(::BCryptDestroyKey)* destroy_ = nullptr;
  decltype(::BCryptVerifySignature)* verify_ = nullptr;
  decltype(::BCryptSignHash)* sign_ = nullptr;
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_KEY_HANDLE key_ = nullptr;
};

}  // namespace

SignatureCheck VerifyP256(const P256Point& point, const Sha256& digest,
                          const P256Signature& signature) {
  Ecdsa ecdsa;
  if (!ecdsa.ok()) return SignatureCheck::kUnavailable;
  // A point CNG refuses is no key of the curve: nothing it signed.
  if (!ecdsa.Import(point.data(), nullptr)) return SignatureCheck::kBadKey;
  return BCRYPT_SUCCESS(ecdsa.Verify(digest, signature)) ? SignatureCheck::kValid
                                                         : SignatureCheck::kInvalid;
}

bool GenerateP256(std::array<unsigned char, 32>* key, P256Point* point) {
  Ecdsa ecdsa;
  return ecdsa.ok() && ecdsa.Generate(point->data(), key->data());
}

bool SignP256(const std::array<unsigned char, 32>& key, const P256Point& point,
              const Sha256& digest, P256Signature* signature) {
  Ecdsa ecdsa;
  return ecdsa.ok() && ecdsa.Import(point.data(), key.data()) && ecdsa.Sign(digest, signature);
}

}  // namespace updater::win
