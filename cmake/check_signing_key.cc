// Checks a maker's public key file for the build, on the machine that
// builds (whatever the target), with the updater's own parser: one strict
// PEM "PUBLIC KEY" block, one base64 encoding, a P-256 SubjectPublicKeyInfo
// whose point lies on the curve. Prints the key's base64 (as the build
// carries it) and exits 0, or says why not and exits 1: a key the updater
// would drop never reaches a build.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "update/signatures.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: check-signing-key FILE\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  if (!in) {
    std::cerr << "it cannot be read\n";
    return 1;
  }
  const std::string text = content.str();
  if (text.find("PRIVATE KEY") != std::string::npos) {
    std::cerr << "it is a PRIVATE key. A build carries public keys only: write the public half "
                 "with `openssl pkey -in KEY -pubout`, and keep the private key off the build "
                 "machine\n";
    return 1;
  }
  const std::optional<std::string> der = updater::PemBody(text, "PUBLIC KEY");
  if (!der) {
    std::cerr << (text.find("-----BEGIN PUBLIC KEY-----") == std::string::npos
                      ? "it is not a public key in PEM (as `openssl pkey -pubout` writes it)\n"
                      : "its PEM block is not written the one strict way (base64 with zero "
                        "padding bits, nothing but the one block): write it again with "
                        "`openssl pkey -pubin -in KEY -out KEY.pem`\n");
    return 1;
  }
  const std::optional<updater::PublicKey> key = updater::ParsePublicKeyDer(*der);
  if (!key) {
    std::cerr << (updater::IsOffCurveP256Key(*der)
                      ? "its point is not on the curve P-256: it is no key\n"
                      : "it is not an ECDSA P-256 public key with an uncompressed point\n");
    return 1;
  }
  std::string base64;
  for (char c : updater::EncodeBase64Lines(key->spki)) {
    if (c != '\n') base64.push_back(c);
  }
  std::cout << base64;
  return 0;
}
