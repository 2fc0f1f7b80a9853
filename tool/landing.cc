// How an update lands.
#include "landing.h"

#include "update/listing.h"

namespace updater::tool {

std::wstring LandsText(bool whole) {
  if (whole) {
    return L"whole or not at all (it declares \"" + std::wstring(kWholeDeclaration) +
           L"\" after \"slut\"): every file is staged beside its destination first, the folders "
           L"its destinations need are made, and if one file fails none is installed";
  }
  return L"file by file (no \"" + std::wstring(kWholeDeclaration) +
         L"\" after \"slut\", as in a hand-written manifest): each entry is copied on its own, "
         L"and copies already made are never undone";
}

}  // namespace updater::tool
