// The checksum file of an update folder, written by pack and by seal.
#include "sealing.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "keys.h"
#include "manifest_check.h"
#include "manifest_walk.h"
#include "platform/text.h"
#include "system.h"
#include "wording.h"

namespace updater::tool {

namespace fs = std::filesystem;

bool WriteChecksumFile(Platform& platform, const std::wstring& folder,
                       const std::wstring& productId,
                       const std::vector<std::pair<std::wstring, std::wstring>>& files,
                       std::wstring* failedAt) {
  std::string lines;
  for (const auto& [name, file] : files) {
    Sha256 digest;
    if (!platform.HashFile(folder + L"\\" + file, &digest)) {
      *failedAt = file;
      return false;
    }
    lines += DigestHex(digest) + "  " + EncodeUtf8(name) + "\n";
  }
  const std::wstring name = ChecksumFileName(productId);
  if (!WriteWhole(NativePath(folder), name, lines)) {
    *failedAt = name;
    return false;
  }
  return true;
}

SealOutcome Seal(Platform& platform, Inspection& inspection, const BuildConstants& build,
                 const std::wstring& folder, const MakerKey* key, bool dropSignature) {
  SealOutcome outcome;
  const std::wstring tempFolder = folder + L"\\";
  const std::wstring manifestName = ManifestFileName(build.productId);
  const FindResult found = platform.FindFileName(tempFolder + manifestName);
  if (!found.ok || !TextEquals(platform, found.name, manifestName)) {
    outcome.text = L"No manifest to seal: " + ShownPath(JoinAsTyped(folder, manifestName)) +
                   L" is not there.\n";
    return outcome;
  }
  // What the updater would copy with no checksum file beside the manifest;
  // each source once.
  const ManifestWalk walk =
      WalkManifest(platform, tempFolder, tempFolder + found.name, build.productId, PayloadCheck{});
  if (!walk.opened || walk.readFailed) {
    outcome.text =
        L"The manifest " + ShownPath(JoinAsTyped(folder, found.name)) + L" cannot be read.\n";
    return outcome;
  }
  // A signature that the new checksum file would no longer match is never
  // left behind.
  const std::wstring signatureName = SignatureFileName(build.productId);
  const FindResult signature = platform.FindFileName(tempFolder + signatureName);
  const bool signatureThere = !signature.ok || TextEquals(platform, signature.name, signatureName);
  if (signatureThere && key == nullptr && !dropSignature) {
    outcome.text = L"Nothing was sealed: " + folder + L" holds the signature " + signatureName +
                   L", which a new checksum file would no longer match. Seal and sign it again "
                   L"with `updater-tool seal --sign KEY " +
                   folder +
                   L"`, or remove the old signature as you seal with `updater-tool seal "
                   L"--drop-signature " +
                   folder + L"` and sign afterwards.\n";
    outcome.status = 1;
    return outcome;
  }
  std::vector<std::pair<std::wstring, std::wstring>> files = {{manifestName, found.name}};
  ChecksumList listed(platform);
  for (const EntryResult& result : walk.entries) {
    if (result.fate.action != EntryAction::kCopy || result.fate.source != SourceFate::kPresent ||
        !listed.Add(result.entry.source, Sha256{})) {
      continue;
    }
    files.emplace_back(result.entry.source, result.entry.source);
  }
  std::wstring failedAt;
  if (!WriteChecksumFile(platform, folder, build.productId, files, &failedAt)) {
    outcome.text = L"Nothing was sealed: " + failedAt + L" could not be read or written.\n";
    return outcome;
  }
  outcome.text = L"Sealed " + folder + L": " + ChecksumFileName(build.productId) +
                 L" now vouches for the manifest and " +
                 Count(files.size() - 1, L"payload file", L"payload files") + L".\n";
  if (signatureThere && key == nullptr) {
    std::error_code error;
    const std::wstring name = signature.ok ? signature.name : signatureName;
    fs::remove(NativePath(folder) / NativePath(name), error);
    if (error) {
      outcome.text += L"The old signature " + name +
                      L" could not be removed: it no longer matches; remove it by hand.\n";
      return outcome;
    }
    outcome.text += L"Removed the old signature " + name + L"; it is not signed now.\n";
  }
  if (key != nullptr) {
    std::wstring why;
    if (!SignChecksumFile(platform, SystemSigning(), folder, build.productId, *key, &why)) {
      outcome.text += L"It is not signed: " + why + L".\n";
      return outcome;
    }
    outcome.text += L"Signed with key " +
                    KeyFingerprint(platform, *ParsePublicKeyDer(PublicKeyDer(key->point))) + L".\n";
  }
  const CheckOutcome check = CheckFolder(platform, inspection, build, folder, {});
  outcome.text += L"Check of " + folder + L":\n" + check.text;
  outcome.status = check.status;
  return outcome;
}

}  // namespace updater::tool
