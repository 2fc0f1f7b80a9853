// The maker's signature and the build's keys: how they are read, and what a
// signed build does with an update, signed or not.
#include "update/signatures.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "scenario.h"
#include "update/checksums.h"

namespace updater {
namespace {

using testing::DigestOf;
using testing::Scenario;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string Key(const char* name) { return ReadFile(std::string(TEST_KEYS) + "/" + name); }

// openssl's DER signature of `bytes` by the test key `key`, as a maker
// signs with it.
std::string OpensslSignature(const std::string& bytes, const char* key) {
  // Names of this process's own: tests run side by side in processes of
  // their own, and must not sign each other's data.
  static int calls = 0;
  const std::string stem = ::testing::TempDir() + "/signing-" + std::to_string(::getpid()) + "-" +
                           std::to_string(++calls);
  const std::string data = stem + ".data";
  const std::string signature = stem + ".sig";
  std::ofstream(data, std::ios::binary) << bytes;
  const std::string command = "openssl dgst -sha256 -sign '" + std::string(TEST_KEYS) + "/" + key +
                              "' -out '" + signature + "' '" + data + "'";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  const std::string made = ReadFile(signature);
  std::remove(data.c_str());
  std::remove(signature.c_str());
  return made;
}

TEST(SignaturesTest, Base64IsReadStrictly) {
  const struct {
    const char* text;
    std::optional<std::string> bytes;
  } cases[] = {
      {"TWFu", std::string("Man")}, {"TWE=", std::string("Ma")}, {"TQ==", std::string("M")},
      {"", std::nullopt},           {"TWF", std::nullopt},       {"TW=u", std::nullopt},
      {"TQ=\n", std::nullopt},      {"TR==", std::nullopt},  // bits left over
      {"TWE=TWFu", std::nullopt},   {"TW-u", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeBase64(c.text), c.bytes) << c.text;
  for (const std::string& bytes : {std::string(), std::string("a"), std::string("ab"),
                                   std::string("abc"), std::string(200, '\xff')}) {
    std::string text = EncodeBase64Lines(bytes);
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    EXPECT_EQ(DecodeBase64(text).value_or("<none>"), bytes.empty() ? "<none>" : bytes);
  }
}

TEST(SignaturesTest, OnlyAP256PublicKeyInPemIsAKey) {
  const std::string pub = Key("test-signing-key-a.pub.pem");
  ASSERT_TRUE(ParsePublicKeyPem(pub).has_value());
  std::string crlf;
  for (char c : pub) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_TRUE(ParsePublicKeyPem(crlf).has_value());
  EXPECT_EQ(PublicKeyDer(ParsePublicKeyPem(pub)->point), ParsePublicKeyPem(pub)->spki);
  for (const std::string& other : {Key("test-signing-key-a.pem"), Key("test-signing-key-b.pem"),
                                   pub + "-----BEGIN PUBLIC KEY-----\n", std::string("garbage"),
                                   pub.substr(0, pub.size() / 2)}) {
    EXPECT_FALSE(ParsePublicKeyPem(other).has_value()) << other;
  }
  // A P-384 key is a key, but not one of ours.
  const std::string p384 =
      "-----BEGIN PUBLIC KEY-----\n"
      "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEsUqlBg5rSVE9bjtGNP0MLpIAD5yHaHIO\n"
      "K4brKzUv9dsLu2ND4rQRJdWI2q4jIA7k0nIgfFkUKj3eYJk3eGYA0qZdzqy5ycG4\n"
      "kOjMSsnTU2TPt1zfLVNKNuZX4LmnNo3T\n"
      "-----END PUBLIC KEY-----\n";
  EXPECT_FALSE(ParsePublicKeyPem(p384).has_value());
}

TEST(SignaturesTest, SignaturesAreDerOrRAndSAndNothingElse) {
  const std::string der = OpensslSignature("checksums", "test-signing-key-a.pem");
  const std::optional<P256Signature> parsed = ParseSignature(der);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(SignatureDer(*parsed), der);  // one encoding only
  const std::string raw(reinterpret_cast<const char*>(parsed->data()), parsed->size());
  EXPECT_EQ(ParseSignature(raw), parsed);
  // r = 1, s = 0x80: the smallest integers, and one that needs its 00.
  const std::string small("\x30\x07\x02\x01\x01\x02\x02\x00\x80", 9);
  ASSERT_TRUE(ParseSignature(small).has_value());
  EXPECT_EQ(SignatureDer(*ParseSignature(small)), small);
  const std::string refused[] = {
      "",
      std::string("\x30\x07\x02\x01\x01\x02\x02\x00\x80\x00", 10),        // a byte after it
      std::string("\x30\x81\x07\x02\x01\x01\x02\x02\x00\x80", 10),        // long form for 7
      std::string("\x30\x08\x02\x01\x01\x02\x03\x00\x00\x80", 10),        // 00 not needed
      std::string("\x30\x06\x02\x01\x01\x02\x01\x80", 8),                 // negative
      std::string("\x30\x06\x02\x01\x00\x02\x01\x01", 8),                 // r = 0
      std::string("\x31\x06\x02\x01\x01\x02\x01\x01", 8),                 // not a SEQUENCE
      std::string("\x30\x06\x02\x01\x01\x02\x01\x01", 7),                 // cut short
      "\x30\x25\x02\x21\x01" + std::string(32, '\x01') + "\x02\x01\x01",  // r of 33 bytes
      raw + "x",                                                          // 65 bytes
      std::string(64, '\0'),                                              // r = s = 0
      std::string(64, '\xff'),                                            // past the order
  };
  for (const std::string& bytes : refused) {
    EXPECT_FALSE(ParseSignature(bytes).has_value()) << bytes.size() << " bytes";
  }
}

// A key compiled into a build that cannot be read stays in its list,
// unusable: the build stays signed and takes nothing, signed or not.
TEST(SignaturesTest, AKeyTheBuildCannotReadRefusesEveryUpdate) {
  std::string good =
      EncodeBase64Lines(PemBody(Key("test-signing-key-a.pub.pem"), "PUBLIC KEY").value());
  good.erase(std::remove(good.begin(), good.end(), '\n'), good.end());
  std::string padding = good;
  padding[padding.size() - 3] = 'h';  // "Jg==" as "Jh==": the same key to openssl
  std::string offCurve = PemBody(Key("test-signing-key-a.pub.pem"), "PUBLIC KEY").value();
  offCurve.back() = static_cast<char>(offCurve.back() ^ 1);
  offCurve = EncodeBase64Lines(offCurve);
  offCurve.erase(std::remove(offCurve.begin(), offCurve.end(), '\n'), offCurve.end());
  for (const std::string& bad : {padding, offCurve, std::string("garbage"), std::string()}) {
    const char* const list[] = {good.c_str(), bad.c_str(), nullptr};
    const std::vector<PublicKey> keys = ReadBuildKeys(list);
    ASSERT_EQ(keys.size(), 2u) << bad;
    EXPECT_TRUE(keys[0].usable());
    EXPECT_FALSE(keys[1].usable()) << bad;
    // A whole delivery signed with the good key is still refused.
    const std::string manifest = "5.3\r\nsylkum.mde,Sylkum.mde\r\nslut\r\n";
    const std::string checksums = DigestHex(DigestOf(manifest)) + "  OrvakBK.ini\n" +
                                  DigestHex(DigestOf("new mde")) + "  sylkum.mde\n";
    Scenario s;
    s.keys = keys;
    s.Manifest(manifest);
    s.Payload(L"sylkum.mde", "new mde");
    s.Payload(L"OrvakBK.sha256", checksums);
    s.Payload(L"OrvakBK.sha256.sig", OpensslSignature(checksums, "test-signing-key-a.pem"));
    ASSERT_TRUE(s.Run());
    EXPECT_TRUE(s.platform.boxes.empty()) << bad;
  }
}

// A signed build takes an update only with its checksum file signed by one
// of its keys; every other delivery ends silently, nothing written. An
// unsigned build takes what it always took, unless the manifest itself says
// what comes with it.
TEST(SignaturesTest, ASignedBuildInstallsOnlyWhatItsMakerSigned) {
  const std::string kManifest = "5.3\r\nsylkum.mde,Sylkum.mde\r\nslut\r\n";
  const std::string kDeclared = "5.3\r\nsylkum.mde,Sylkum.mde\r\nslut\r\nOrvakBK.sha256\r\n";
  const auto checksums = [](const std::string& manifest) {
    return DigestHex(DigestOf(manifest)) + "  OrvakBK.ini\n" + DigestHex(DigestOf("new mde")) +
           "  sylkum.mde\n";
  };
  const PublicKey a = *ParsePublicKeyPem(Key("test-signing-key-a.pub.pem"));
  const PublicKey b = *ParsePublicKeyPem(Key("test-signing-key-b.pub.pem"));
  const std::string signature = OpensslSignature(checksums(kManifest), "test-signing-key-a.pem");
  const P256Signature rs = *ParseSignature(signature);
  struct Case {
    const char* what;
    std::vector<PublicKey> keys;
    std::string manifest;
    std::optional<std::string> checksums;  // no value: none
    std::optional<std::string> signature;
    std::vector<PayloadFault> faults;
    const char* installed = nullptr;  // the registry's version, when not 5.2
    bool offered = true;              // when the payload is whole
  };
  // Keys a build may hold that it cannot use: one it could not read, and
  // one whose point the system refuses.
  PublicKey offCurve = a;
  offCurve.point[63] ^= 1;
  const auto release = [&checksums](const char* version) {
    const std::string manifest = std::string(version) + "\r\nsylkum.mde,Sylkum.mde\r\nslut\r\n";
    return std::make_pair(manifest,
                          OpensslSignature(checksums(manifest), "test-signing-key-a.pem"));
  };
  const auto [nine, nineSigned] = release("9");
  const auto [ten, tenSigned] = release("10");
  const Case cases[] = {
      {"signed by the build's key", {a}, kManifest, checksums(kManifest), signature, {}},
      {"as r and s",
       {a},
       kManifest,
       checksums(kManifest),
       std::string(reinterpret_cast<const char*>(rs.data()), rs.size()),
       {}},
      {"by the second of two keys", {b, a}, kManifest, checksums(kManifest), signature, {}},
      {"by another key",
       {b},
       kManifest,
       checksums(kManifest),
       signature,
       {PayloadFault::kSignatureNotByKey}},
      {"checksum file changed after signing",
       {a},
       kManifest,
       checksums(kManifest) + DigestHex(DigestOf("x")) + "  extra\n",
       signature,
       {PayloadFault::kSignatureNotByKey}},
      {"no signature",
       {a},
       kManifest,
       checksums(kManifest),
       std::nullopt,
       {PayloadFault::kSignatureMissing}},
      {"empty signature file",
       {a},
       kManifest,
       checksums(kManifest),
       std::string(),
       {PayloadFault::kSignatureUnreadable}},
      {"oversized signature file",
       {a},
       kManifest,
       checksums(kManifest),
       signature + std::string(300, 'x'),
       {PayloadFault::kSignatureUnreadable}},
      {"garbage signature",
       {a},
       kManifest,
       checksums(kManifest),
       std::string(70, 'g'),
       {PayloadFault::kSignatureUnreadable}},
      {"no checksum file in a signed build",
       {a},
       kManifest,
       std::nullopt,
       std::nullopt,
       {PayloadFault::kChecksumFileMissing, PayloadFault::kSignatureMissing}},
      {"unsigned build, signature ignored",
       {},
       kManifest,
       checksums(kManifest),
       std::string("x"),
       {}},
      {"unsigned build, declared checksum file missing",
       {},
       kDeclared,
       std::nullopt,
       std::nullopt,
       {PayloadFault::kChecksumFileMissing}},
      {"unsigned build, declared checksum file there",
       {},
       kDeclared,
       checksums(kDeclared),
       std::nullopt,
       {}},
      {"a key the build could not read",
       {a, PublicKey()},
       kManifest,
       checksums(kManifest),
       signature,
       {PayloadFault::kKeyUnusable}},
      {"a key the system refuses beside the signing one",
       {a, offCurve},
       kManifest,
       checksums(kManifest),
       signature,
       {PayloadFault::kKeyUnusable}},
      {"a signed older release: 9 over 10",
       {a},
       nine,
       checksums(nine),
       nineSigned,
       {},
       "10",
       false},
      {"a signed 10 over 9 sorts before it", {a}, ten, checksums(ten), tenSigned, {}, "9", false},
      {"unsigned build: 9 over 10 by text",
       {},
       nine,
       checksums(nine),
       std::nullopt,
       {},
       "10",
       true},
  };
  for (const Case& c : cases) {
    Scenario s;
    s.keys = c.keys;
    if (c.installed) s.platform.SetString(testing::kSylkumKey, "Version", c.installed);
    s.Manifest(c.manifest);
    s.Payload(L"sylkum.mde", "new mde");
    s.platform.AddFile(L"C:\\Prog\\Sylkum\\Sylkum.mde", "old mde");
    if (c.checksums) s.Payload(L"OrvakBK.sha256", *c.checksums);
    if (c.signature) s.Payload(L"OrvakBK.sha256.sig", *c.signature);
    const PayloadCheck check =
        CheckPayload(s.platform, std::wstring(testing::kTemp) + L"\\", L"OrvakBK", c.keys);
    std::vector<PayloadFault> faults;
    for (const PayloadProblem& problem : check.problems) faults.push_back(problem.fault);
    EXPECT_EQ(faults, c.faults) << c.what;
    ASSERT_TRUE(s.Run()) << c.what;
    // A signed build whose checksum file nobody it trusts signed reads no
    // more of the manifest than its version, and no payload.
    if (!c.keys.empty() && !c.faults.empty() && c.checksums) {
      EXPECT_EQ(std::count(s.platform.opened.begin(), s.platform.opened.end(),
                           Scenario::TempFile(L"OrvakBK.ini")),
                1)
          << c.what;
      EXPECT_TRUE(s.platform.hashed.empty()) << c.what;
    }
    const bool installs = c.faults.empty() && c.offered;
    EXPECT_EQ(s.platform.boxes.size(), installs ? 3u : 0u) << c.what;
    EXPECT_EQ(s.platform.Content(L"C:\\Prog\\Sylkum\\Sylkum.mde"), installs ? "new mde" : "old mde")
        << c.what;
  }
}

}  // namespace
}  // namespace updater
