// `updater-tool keygen`: a maker's new signing key pair, as PEM files.
#pragma once

#include <string>

#include "platform/signing.h"

namespace updater::tool {

struct KeygenOutcome {
  std::wstring text;
  int status = 1;  // 0 written; 1 not
};

// Writes a new key pair into the folder `out` (made if needed):
// `name`.pem (private, PKCS#8, readable by its owner alone where the
// system allows) and `name`.pub.pem; never over existing files. Tells the
// key's fingerprint, by which every later message names it.
KeygenOutcome Keygen(Signing& signing, const std::wstring& out,
                     const std::wstring& name = L"maker-key");

}  // namespace updater::tool
