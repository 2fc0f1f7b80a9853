// Which updater build the tool speaks for.
#include "identity.h"

#include "platform/text.h"
#include "wording.h"

#ifndef UPDATER_TOOL_VERSION
#define UPDATER_TOOL_VERSION "unknown"
#endif

namespace updater::tool {

std::wstring SigningText(Platform& platform, const BuildConstants& build) {
  if (build.signingKeys.empty()) return L"unsigned build";
  std::wstring keys;
  for (const PublicKey& key : build.signingKeys) {
    keys += (keys.empty() ? L"" : L", ") + KeyFingerprint(platform, key);
  }
  return L"signed build (keys: " + keys + L")";
}

std::wstring BuildLine(Platform& platform, const BuildConstants& build, bool keysGiven) {
  std::wstring line = L"Build: " + build.productId + L" (" + QuotedText(build.displayName) +
                      L"), " + SigningText(platform, build);
  if (keysGiven) line += L", the keys given by --key in place of the build's own";
  return line + L"\n";
}

std::wstring VersionText(Platform& platform, const BuildConstants& build) {
  return L"updater-tool " + DecodeUtf8(UPDATER_TOOL_VERSION) + L"\n" + BuildLine(platform, build) +
         L"Use the tool of the same build as the customer's updater: another product or "
         L"other keys give other answers.\n";
}

}  // namespace updater::tool
