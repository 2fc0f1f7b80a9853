// A maker's public key file on its way into a build: the check that the
// configuration runs with the updater's own parser refuses every file the
// updater would not use, and a refused key stops the configuration.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "update/signatures.h"

namespace updater {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

struct Result {
  int status;
  std::string output;  // stdout and stderr
};

Result Shell(const std::string& command) {
  Result result{-1, ""};
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) result.output += buffer;
  result.status = ::pclose(pipe);
  return result;
}

std::string WriteKey(const std::string& name, const std::string& text) {
  const std::string path = ::testing::TempDir() + "/" + std::to_string(::getpid()) + "-" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

const std::string kPublic = ReadFile(std::string(TEST_KEYS) + "/test-signing-key-a.pub.pem");

// The test key with its point moved off the curve (the last byte of y
// changed), written as PEM again.
std::string OffCurveKey() {
  std::string der = PemBody(kPublic, "PUBLIC KEY").value();
  der.back() = static_cast<char>(der.back() ^ 1);
  return "-----BEGIN PUBLIC KEY-----\n" + EncodeBase64Lines(der) + "-----END PUBLIC KEY-----\n";
}

TEST(SigningKeyCheckTest, OnlyAKeyTheUpdaterWouldUseReachesABuild) {
  std::string padding = kPublic;  // openssl reads it as the same key
  padding.replace(padding.find("Jg=="), 4, "Jh==");
  const struct {
    const char* what;
    std::string text;
    const char* why;  // part of the message; null: taken
  } cases[] = {
      {"the test key", kPublic, nullptr},
      {"with CR LF line ends",
       [] {
         std::string crlf;
         for (char c : kPublic) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
         return crlf;
       }(),
       nullptr},
      {"non-zero padding bits", padding, "one strict way"},
      {"point off the curve", OffCurveKey(), "not on the curve"},
      {"a private key", ReadFile(std::string(TEST_KEYS) + "/test-signing-key-a.pem"), "PRIVATE"},
      {"two blocks", kPublic + kPublic, "one strict way"},
      {"text after the block", kPublic + "garbage\n", "one strict way"},
      {"not PEM", "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE\n", "not a public key in PEM"},
      {"a P-384 key",
       "-----BEGIN PUBLIC KEY-----\n"
       "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEsUqlBg5rSVE9bjtGNP0MLpIAD5yHaHIO\n"
       "K4brKzUv9dsLu2ND4rQRJdWI2q4jIA7k0nIgfFkUKj3eYJk3eGYA0qZdzqy5ycG4\n"
       "kOjMSsnTU2TPt1zfLVNKNuZX4LmnNo3T\n"
       "-----END PUBLIC KEY-----\n",
       "not an ECDSA P-256"},
  };
  std::string base64 = EncodeBase64Lines(PemBody(kPublic, "PUBLIC KEY").value());
  base64.erase(std::remove(base64.begin(), base64.end(), '\n'), base64.end());
  for (const auto& c : cases) {
    const Result result =
        Shell(std::string(SIGNING_KEY_CHECKER) + " '" + WriteKey("key.pem", c.text) + "'");
    if (c.why == nullptr) {
      EXPECT_EQ(result.status, 0) << c.what << ": " << result.output;
      EXPECT_EQ(result.output, base64) << c.what;
    } else {
      EXPECT_NE(result.status, 0) << c.what;
      EXPECT_NE(result.output.find(c.why), std::string::npos) << c.what << ": " << result.output;
    }
  }
}

TEST(SigningKeyCheckTest, TheCurveEquationDecides) {
  const P256Point key = ParsePublicKeyPem(kPublic).value().point;
  EXPECT_TRUE(IsOnP256Curve(key));
  P256Point negated = key;  // (x, p - y) lies on the curve too
  const std::string p = std::string("\xFF\xFF\xFF\xFF\x00\x00\x00\x01", 8) + std::string(12, '\0') +
                        std::string(12, '\xFF');
  int borrow = 0;
  for (int i = 31; i >= 0; --i) {
    const int d = static_cast<unsigned char>(p[i]) - key[32 + i] - borrow;
    negated[32 + i] = static_cast<unsigned char>(d & 0xFF);
    borrow = d < 0;
  }
  EXPECT_TRUE(IsOnP256Curve(negated));
  P256Point moved = key;
  moved[63] ^= 1;
  EXPECT_FALSE(IsOnP256Curve(moved));
  EXPECT_FALSE(IsOnP256Curve(P256Point{}));
  P256Point outside = key;  // x = p: no number of the field
  for (int i = 0; i < 32; ++i) outside[i] = static_cast<unsigned char>(p[i]);
  EXPECT_FALSE(IsOnP256Curve(outside));
}

// The configuration itself stops at a key the updater would not use.
TEST(SigningKeyCheckTest, AKeyTheUpdaterWouldDropStopsTheConfiguration) {
  const std::string build =
      ::testing::TempDir() + "/configure-with-bad-key-" + std::to_string(::getpid());
  std::string padding = kPublic;
  padding.replace(padding.find("Jg=="), 4, "Jh==");
  const Result result =
      Shell("rm -rf '" + build + "' && cmake -S '" + std::string(SOURCE_DIR) + "' -B '" + build +
            "' -G Ninja -DUPDATER_BUILD_TESTS=OFF -DUPDATER_SIGNING_KEYS='" +
            WriteKey("padding.pub.pem", padding) + "'");
  EXPECT_NE(result.status, 0) << result.output;
  // CMake wraps its messages: the words are looked for one by one.
  for (const char* words : {"cannot be used:", "padding bits"}) {
    EXPECT_NE(result.output.find(words), std::string::npos) << result.output;
  }
  Shell("rm -rf '" + build + "'");
}

}  // namespace
}  // namespace updater
