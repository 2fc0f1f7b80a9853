// Fuzzes the readers of the maker's signature and public keys, and of the
// base64 under them, with the input as a signature file, a PEM text and a
// base64 text.
//
// Each reader takes one encoding of a value only: whatever it accepts is
// written back to the very same bytes (a signature as DER unless it is the
// 64 bytes of r and s, a key as its SubjectPublicKeyInfo, base64 without
// line breaks), and what it gives has the shape it promises.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "update/signatures.h"

namespace updater {
namespace {

void FuzzOne(const std::string& data) {
  if (const std::optional<P256Signature> signature = ParseSignature(data)) {
    FUZZ_CHECK(SignatureDer(*signature) == data || data.size() == signature->size(),
               "a signature read in a second encoding");
    FUZZ_CHECK(ParseSignature(SignatureDer(*signature)) == signature,
               "a signature written is not read back");
  }
  if (const std::optional<std::string> bytes = DecodeBase64(data)) {
    std::string text = EncodeBase64Lines(*bytes);
    std::string flat;
    for (char c : text) {
      if (c != '\n') flat.push_back(c);
    }
    FUZZ_CHECK(flat == data, "base64 read in a second encoding");
  }
  if (const std::optional<PublicKey> key = ParsePublicKeyPem(data)) {
    FUZZ_CHECK(key->spki.size() == 91, "a key of another size");
    FUZZ_CHECK(PublicKeyDer(key->point) == key->spki, "a key's point is not its own");
  }
  if (const std::optional<PublicKey> key = ParsePublicKeyDer(data)) {
    FUZZ_CHECK(key->spki == data, "a key read in a second encoding");
  }
}

}  // namespace
}  // namespace updater

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  updater::FuzzOne(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
