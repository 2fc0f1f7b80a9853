// The maker's signature over the checksum file and the build's public keys,
// parsed strictly.
#include "update/signatures.h"

#include <cstdint>
#include <cstring>

namespace updater {
namespace {

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The fixed start of a P-256 SubjectPublicKeyInfo with an uncompressed
// point: SEQUENCE { SEQUENCE { OID id-ecPublicKey, OID prime256v1 },
// BIT STRING { 0 unused bits, 04 ... } }.
const unsigned char kSpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                     0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                     0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

// The order of P-256's group: r and s of a signature lie between 1 and it.
const unsigned char kOrder[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF,
                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17,
                                  0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};

// True when the 32 bytes at `value` are a number from 1 to the order less 1.
bool InRange(const unsigned char* value) {
  bool zero = true;
  for (std::size_t i = 0; i < 32; ++i) zero = zero && value[i] == 0;
  return !zero && std::memcmp(value, kOrder, 32) < 0;
}

// Numbers modulo the prime p of P-256, as eight 32-bit limbs, the least
// significant first: just enough arithmetic to tell whether a point lies on
// the curve, done the plain way (a key is checked once per run).
using Limbs = std::array<std::uint32_t, 8>;

const Limbs kPrime = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0x00000000,
                      0x00000000, 0x00000000, 0x00000001, 0xFFFFFFFF};
const Limbs kCurveB = {0x27D2604B, 0x3BCE3C3E, 0xCC53B0F6, 0x651D06B0,
                       0x769886BC, 0xB3EBBD55, 0xAA3A93E7, 0x5AC635D8};

Limbs FromBigEndian(const unsigned char* bytes) {
  Limbs limbs{};
  for (std::size_t i = 0; i < 32; ++i) {
    limbs[(31 - i) / 4] |= static_cast<std::uint32_t>(bytes[i]) << (8 * ((31 - i) % 4));
  }
  return limbs;
}

bool Below(const Limbs& a, const Limbs& b) {
  for (std::size_t i = 8; i-- > 0;) {
    if (a[i] != b[i]) return a[i] < b[i];
  }
  return false;
}

// a - b over all 256 bits; the borrow out.
std::uint32_t SubtractInto(Limbs* a, const Limbs& b) {
  std::uint64_t borrow = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    const std::uint64_t d = static_cast<std::uint64_t>((*a)[i]) - b[i] - borrow;
    (*a)[i] = static_cast<std::uint32_t>(d);
    borrow = (d >> 63) & 1;
  }
  return static_cast<std::uint32_t>(borrow);
}

// (a + b) mod p, for a and b below p.
Limbs AddMod(const Limbs& a, const Limbs& b) {
  Limbs sum;
  std::uint64_t carry = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    const std::uint64_t s = static_cast<std::uint64_t>(a[i]) + b[i] + carry;
    sum[i] = static_cast<std::uint32_t>(s);
    carry = s >> 32;
  }
  if (carry != 0 || !Below(sum, kPrime)) SubtractInto(&sum, kPrime);
  return sum;
}

// (a - b) mod p, for a and b below p.
Limbs SubMod(Limbs a, const Limbs& b) {
  if (SubtractInto(&a, b) != 0) {
    // Wrapped below zero: adding p back brings it into range.
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < 8; ++i) {
      const std::uint64_t s = static_cast<std::uint64_t>(a[i]) + kPrime[i] + carry;
      a[i] = static_cast<std::uint32_t>(s);
      carry = s >> 32;
    }
  }
  return a;
}

// (a * b) mod p, for a and b below p, by doubling and adding.
Limbs MulMod(const Limbs& a, const Limbs& b) {
  Limbs product{};
  for (std::size_t bit = 256; bit-- > 0;) {
    product = AddMod(product, product);
    if ((b[bit / 32] >> (bit % 32)) & 1) product = AddMod(product, a);
  }
  return product;
}

int Base64Value(char c) {
  const char* at = std::strchr(kBase64, c);
  return c != '\0' && at != nullptr ? static_cast<int>(at - kBase64) : -1;
}

// The DER length at `pos` (advanced past it): the short form, or the long
// form with the fewest bytes and only for lengths over 127.
bool ReadLength(const std::string& der, std::size_t* pos, std::size_t* length) {
  if (*pos >= der.size()) return false;
  const unsigned char first = static_cast<unsigned char>(der[(*pos)++]);
  if (first < 0x80) {
    *length = first;
    return true;
  }
  // A signature of P-256 is far shorter than 256 bytes: one length byte.
  if (first != 0x81 || *pos >= der.size()) return false;
  *length = static_cast<unsigned char>(der[(*pos)++]);
  return *length >= 0x80;
}

// One positive INTEGER of at most 32 bytes, minimally encoded, right-aligned
// into `out`.
bool ReadInteger(const std::string& der, std::size_t* pos, unsigned char* out) {
  std::size_t length = 0;
  if (*pos >= der.size() || der[(*pos)++] != 0x02 || !ReadLength(der, pos, &length) ||
      length == 0 || length > der.size() - *pos) {
    return false;
  }
  const unsigned char* value = reinterpret_cast<const unsigned char*>(der.data()) + *pos;
  *pos += length;
  if (value[0] & 0x80) return false;                                    // negative
  if (length > 1 && value[0] == 0 && !(value[1] & 0x80)) return false;  // not minimal
  if (value[0] == 0) {
    ++value;
    --length;
  }
  if (length > 32) return false;
  std::memset(out, 0, 32);
  std::memcpy(out + 32 - length, value, length);
  return true;
}

}  // namespace

std::optional<std::string> DecodeBase64(const std::string& text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int values[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && last && k >= 2) {
        values[k] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return std::nullopt;  // "=" only at the very end
      values[k] = Base64Value(c);
      if (values[k] < 0) return std::nullopt;
    }
    const unsigned long group =
        (values[0] << 18) | (values[1] << 12) | (values[2] << 6) | values[3];
    // The bits padding leaves over must be zero: one encoding only.
    if ((padding == 1 && (group & 0xFF) != 0) || (padding == 2 && (group & 0xFFFF) != 0)) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<char>(group >> 16));
    if (padding < 2) bytes.push_back(static_cast<char>((group >> 8) & 0xFF));
    if (padding < 1) bytes.push_back(static_cast<char>(group & 0xFF));
  }
  return bytes;
}

std::string EncodeBase64Lines(const std::string& bytes) {
  std::string text;
  std::size_t column = 0;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    unsigned long group = static_cast<unsigned char>(bytes[i]) << 16;
    if (n > 1) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (n > 2) group |= static_cast<unsigned char>(bytes[i + 2]);
    for (std::size_t k = 0; k < 4; ++k) {
      text.push_back(k <= n ? kBase64[(group >> (18 - 6 * k)) & 63] : '=');
      if (++column == 64) {
        text.push_back('\n');
        column = 0;
      }
    }
  }
  if (column != 0) text.push_back('\n');
  return text;
}

std::optional<std::string> PemBody(const std::string& pem, const char* label) {
  const std::string begin = std::string("-----BEGIN ") + label + "-----";
  const std::string end = std::string("-----END ") + label + "-----";
  // Lines, with CR LF or LF; blank lines around the block are allowed.
  std::string body;
  bool inside = false;
  bool done = false;
  std::size_t pos = 0;
  while (pos < pem.size()) {
    std::size_t next = pem.find('\n', pos);
    if (next == std::string::npos) next = pem.size();
    std::string line = pem.substr(pos, next - pos);
    pos = next + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() && !inside) continue;
    if (done) return std::nullopt;
    if (!inside) {
      if (line != begin) return std::nullopt;
      inside = true;
    } else if (line == end) {
      inside = false;
      done = true;
    } else {
      body += line;
    }
  }
  if (!done) return std::nullopt;
  return DecodeBase64(body);
}

bool IsOnP256Curve(const P256Point& point) {
  const Limbs x = FromBigEndian(point.data());
  const Limbs y = FromBigEndian(point.data() + 32);
  if (!Below(x, kPrime) || !Below(y, kPrime)) return false;
  // y^2 = x^3 - 3x + b (mod p)
  const Limbs threeX = AddMod(AddMod(x, x), x);
  const Limbs right = AddMod(SubMod(MulMod(MulMod(x, x), x), threeX), kCurveB);
  return MulMod(y, y) == right;
}

std::optional<PublicKey> ParsePublicKeyDer(const std::string& spki) {
  if (spki.size() != sizeof kSpkiPrefix + 64 ||
      std::memcmp(spki.data(), kSpkiPrefix, sizeof kSpkiPrefix) != 0) {
    return std::nullopt;
  }
  PublicKey key;
  key.spki = spki;
  std::memcpy(key.point.data(), spki.data() + sizeof kSpkiPrefix, 64);
  // A point off the curve is no key: nothing could ever be verified with it.
  if (!IsOnP256Curve(key.point)) return std::nullopt;
  return key;
}

bool IsOffCurveP256Key(const std::string& spki) {
  return spki.size() == sizeof kSpkiPrefix + 64 &&
         std::memcmp(spki.data(), kSpkiPrefix, sizeof kSpkiPrefix) == 0 && !ParsePublicKeyDer(spki);
}

std::optional<PublicKey> ParsePublicKeyPem(const std::string& pem) {
  const std::optional<std::string> der = PemBody(pem, "PUBLIC KEY");
  if (!der) return std::nullopt;
  return ParsePublicKeyDer(*der);
}

std::string PublicKeyDer(const P256Point& point) {
  return std::string(reinterpret_cast<const char*>(kSpkiPrefix), sizeof kSpkiPrefix) +
         std::string(reinterpret_cast<const char*>(point.data()), point.size());
}

namespace {

// One INTEGER of the 32 bytes at `value`: leading zeros dropped, and a zero
// put back before a byte with its high bit set, so that it stays positive.
std::string IntegerDer(const unsigned char* value) {
  std::size_t start = 0;
  while (start < 31 && value[start] == 0) ++start;
  std::string content(reinterpret_cast<const char*>(value) + start, 32 - start);
  if (static_cast<unsigned char>(content[0]) & 0x80) content.insert(content.begin(), '\0');
  return std::string(1, '\x02') + static_cast<char>(content.size()) + content;
}

}  // namespace

std::string SignatureDer(const P256Signature& signature) {
  const std::string body = IntegerDer(signature.data()) + IntegerDer(signature.data() + 32);
  return std::string(1, '\x30') + static_cast<char>(body.size()) + body;
}

namespace {

// The r and s of a strict DER ECDSA-Sig-Value.
std::optional<P256Signature> ParseDerSignature(const std::string& bytes) {
  P256Signature signature{};
  std::size_t pos = 0;
  std::size_t length = 0;
  if (bytes.empty() || bytes[pos++] != 0x30 || !ReadLength(bytes, &pos, &length) ||
      length != bytes.size() - pos) {
    return std::nullopt;
  }
  if (!ReadInteger(bytes, &pos, signature.data()) ||
      !ReadInteger(bytes, &pos, signature.data() + 32) || pos != bytes.size() ||
      !InRange(signature.data()) || !InRange(signature.data() + 32)) {
    return std::nullopt;
  }
  return signature;
}

}  // namespace

std::optional<P256Signature> ParseSignature(const std::string& bytes) {
  // DER first: a DER signature can be 64 bytes long too, and 64 bytes of r
  // and s that also read as DER cannot be told from it.
  if (std::optional<P256Signature> signature = ParseDerSignature(bytes)) return signature;
  P256Signature signature{};
  if (bytes.size() != signature.size()) return std::nullopt;
  std::memcpy(signature.data(), bytes.data(), signature.size());
  if (!InRange(signature.data()) || !InRange(signature.data() + 32)) return std::nullopt;
  return signature;
}

std::wstring KeyFingerprint(Platform& platform, const PublicKey& key) {
  Sha256 digest;
  if (!platform.HashBytes(key.spki, &digest)) return L"?";
  static const wchar_t kHex[] = L"0123456789abcdef";
  std::wstring text;
  for (std::size_t i = 0; i < 8; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 15]);
  }
  return text;
}

}  // namespace updater
