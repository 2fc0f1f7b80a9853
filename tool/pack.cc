// `updater-tool pack`: an update built from a folder laid out as the
// install folder should look.
#include "pack.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "keys.h"
#include "manifest_check.h"
#include "platform/text.h"
#include "sealing.h"
#include "system.h"
#include "wording.h"

namespace updater::tool {
namespace {

namespace fs = std::filesystem;

struct TreeFile {
  std::vector<std::wstring> components;  // folders, then the file's name
  fs::path path;
  std::wstring destination;  // components joined by "\"
  std::wstring source;       // its name in OUT
};

std::wstring Folded(const std::wstring& text) {
  std::wstring folded = text;
  for (wchar_t& c : folded) c = FoldCase(c);
  return folded;
}

// Characters a name may have so that the manifest, in Windows-1252, holds it
// as it is: the code page's own, without its control range.
bool FitsWindows1252(const std::wstring& text) {
  for (wchar_t c : text) {
    if (c >= 0x80 && c < 0xA0) return false;
  }
  return DecodeWindows1252(EncodeWindows1252(text)) == text;
}

// A field as the reader gives it back: quoted when it holds a comma or
// starts or ends with a blank.
std::wstring Field(const std::wstring& text) {
  const bool quote =
      !text.empty() && (text.find(L',') != std::wstring::npos || text.front() == L' ' ||
                        text.front() == L'\t' || text.back() == L' ' || text.back() == L'\t');
  return quote ? L"\"" + text + L"\"" : text;
}

// Why the updater could not install the file of `components`; empty when
// it could.
std::wstring Refusal(const std::vector<std::wstring>& components) {
  for (const std::wstring& name : components) {
    if (!FitsWindows1252(name)) return L"the name has characters outside Windows-1252";
    if (name.find(L'\\') != std::wstring::npos) return L"the name holds a \\";
    if (!name.empty() && (name.back() == L'.' || name.back() == L' ')) {
      return L"the name ends in a dot or a space, which Windows drops";
    }
  }
  std::wstring destination;
  for (const std::wstring& name : components)
    destination += (destination.empty() ? L"" : L"\\") + name;
  switch (CheckDestination(destination)) {
    case DestinationFault::kNone: return std::wstring();
    case DestinationFault::kForbiddenCharacter:
    case DestinationFault::kDriveOrStream: return L"the name holds a character Windows forbids";
    case DestinationFault::kDeviceName: return L"the name is one Windows keeps for a device";
    default: return L"the updater refuses this destination";
  }
}

// Files that Windows and Office make by themselves beside the product's:
// thumbnail caches, folder settings and the owner files ("~$") of open
// documents.
bool IsMadeByWindowsOrOffice(Platform& platform, const std::wstring& name) {
  return TextEquals(platform, name, L"Thumbs.db") || TextEquals(platform, name, L"desktop.ini") ||
         name.rfind(L"~$", 0) == 0;
}

// A source name for `name` that no other payload file, nor the manifest,
// nor the terminator has in any letter case, and that the Linux build does
// not take for hidden: "data.mdb", else "data (2).mdb" and on.
std::wstring UniqueSource(const std::wstring& name, std::set<std::wstring>* taken) {
  std::wstring base = name[0] == L'.' ? L"_" + name : name;
  const std::size_t dot = base.rfind(L'.');
  const std::wstring stem = dot == std::wstring::npos || dot == 0 ? base : base.substr(0, dot);
  const std::wstring extension = stem.size() == base.size() ? L"" : base.substr(dot);
  std::wstring candidate = base;
  for (int n = 2; taken->count(Folded(candidate)); ++n) {
    candidate = stem + L" (" + std::to_wstring(n) + L")" + extension;
  }
  taken->insert(Folded(candidate));
  return candidate;
}

bool CopyBytes(const fs::path& from, const fs::path& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  if (!in || !out) return false;
  // Inserting an empty stream counts as a failure: an empty file is copied
  // by creating it.
  if (in.peek() != std::ifstream::traits_type::eof()) out << in.rdbuf();
  out.close();
  if (in.bad() || !out) return false;
  // The tree file's time comes along, and the updater installs it: an
  // installed file's date then tells the build it came from.
  std::error_code error;
  const fs::file_time_type time = fs::last_write_time(from, error);
  if (!error) fs::last_write_time(to, time, error);
  return !error;
}

bool WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream written(path, std::ios::binary | std::ios::trunc);
  written << bytes;
  written.flush();
  return static_cast<bool>(written);
}

}  // namespace

std::string ManifestBytes(const std::wstring& version,
                          const std::vector<std::pair<std::wstring, std::wstring>>& entries,
                          const std::wstring& productId, bool signedUpdate) {
  std::wstring text = Field(version) + L"\r\n";
  for (const auto& [source, destination] : entries) {
    text += Field(source) + L"," + Field(destination) + L"\r\n";
  }
  // After the terminator, where older updaters never read: that the update
  // lands whole or not at all, and what comes with the manifest, so that a
  // delivery without it is taken for incomplete. The manifest's own line in
  // the checksum file (and so the signature) covers these lines too.
  text += L"slut\r\n" + std::wstring(kWholeDeclaration) + L"\r\n" + ChecksumFileName(productId) +
          L"\r\n";
  if (signedUpdate) text += SignatureFileName(productId) + L"\r\n";
  return EncodeWindows1252(text);
}

PackOutcome Pack(Platform& platform, Inspection& inspection, const BuildConstants& build,
                 const std::wstring& version, const std::wstring& tree, const std::wstring& out,
                 const MakerKey* key) {
  PackOutcome outcome;
  std::wstring& text = outcome.text;
  bool control = false;
  for (wchar_t c : version) control = control || c < 0x20;
  if (version.empty() || control || version.find(L'"') != std::wstring::npos ||
      !FitsWindows1252(version) || version.front() == L' ' || version.back() == L' ') {
    text = L"The version " + (L"\"" + version + L"\"") +
           L" cannot stand in a manifest: it must be Windows-1252 text without quotes, control "
           L"characters or blanks around it.\n";
    return outcome;
  }
  std::error_code error;
  const fs::path treePath = NativePath(tree);
  if (!fs::is_directory(treePath, error)) {
    text = L"The folder " + tree + L" does not exist.\n";
    return outcome;
  }
  const fs::path outPath = NativePath(out);
  if (fs::exists(outPath, error) &&
      (!fs::is_directory(outPath, error) || !fs::is_empty(outPath, error))) {
    text = L"The folder " + out + L" must be empty or not exist yet.\n";
    return outcome;
  }
  // The update would pack itself.
  const fs::path treeFull = fs::weakly_canonical(treePath, error);
  const fs::path outFull = fs::weakly_canonical(outPath, error);
  if (std::mismatch(treeFull.begin(), treeFull.end(), outFull.begin(), outFull.end()).first ==
      treeFull.end()) {
    text = L"Nothing was written: the folder " + out + L" lies inside " + tree +
           L"; pack from a tree that does not hold it.\n";
    outcome.status = 1;
    return outcome;
  }
  const ProductProfile* profile = FindProfile(platform, build.productId);

  std::vector<TreeFile> files;
  std::vector<std::wstring> refusals;
  std::vector<std::wstring> leftOut;
  fs::recursive_directory_iterator walk(treePath, error), end;
  for (; !error && walk != end; walk.increment(error)) {
    TreeFile file;
    file.path = walk->path();
    // Taken as written: a link must not turn into the name of its target.
    for (const fs::path& part : file.path.lexically_relative(treePath)) {
      file.components.push_back(TextOf(part));
    }
    for (const std::wstring& name : file.components) {
      file.destination += (file.destination.empty() ? L"" : L"\\") + name;
    }
    // A link would be installed as a copy under its own name or be left out
    // with its folder: neither is what the tree shows, so it is refused.
    if (walk->is_symlink(error)) {
      refusals.push_back(file.destination + L": a link; pack takes plain files and folders only");
      if (walk->is_directory(error)) walk.disable_recursion_pending();
      continue;
    }
    if (walk->is_directory(error)) continue;
    if (!walk->is_regular_file(error)) {
      refusals.push_back(file.destination + L": not a plain file");
      continue;
    }
    const std::wstring& name = file.components.back();
    if (IsMadeByWindowsOrOffice(platform, name)) {
      leftOut.push_back(file.destination);
      continue;
    }
    std::wstring why = Refusal(file.components);
    if (profile != nullptr && file.components.size() == 1 &&
        TextEquals(platform, name, profile->lockFileName)) {
      why =
          L"the product's lock file, there only while the product runs; installed, it would "
          L"keep every later update waiting for a product that is closed";
    } else if (file.components.size() > 1 &&
               (TextEquals(platform, name, ManifestFileName(build.productId)) ||
                TextEquals(platform, name, ChecksumFileName(build.productId)))) {
      // An earlier OUT left in the tree would ship a whole update inside
      // this one.
      why = L"a file of a packed update: its folder holds an update, not the product";
    }
    if (!why.empty()) {
      refusals.push_back(file.destination + L": " + why);
      continue;
    }
    files.push_back(std::move(file));
  }
  if (error) {
    text = L"The folder " + tree + L" cannot be read: " + DecodeUtf8(error.message()) + L".\n";
    return outcome;
  }

  // The same tree gives the same manifest: files in the order of their
  // destinations.
  std::sort(files.begin(), files.end(), [](const TreeFile& a, const TreeFile& b) {
    const std::wstring x = Folded(a.destination), y = Folded(b.destination);
    return x != y ? x < y : a.destination < b.destination;
  });
  // Windows knows one file, and one folder, per name in any letter case.
  std::map<std::wstring, std::wstring> spellings;
  for (const TreeFile& file : files) {
    std::wstring path;
    for (std::size_t i = 0; i < file.components.size(); ++i) {
      path += (i ? L"\\" : L"") + file.components[i];
      const auto [known, added] = spellings.emplace(Folded(path), path);
      if (!added && known->second != path) {
        refusals.push_back(path + L": its name differs from " + known->second +
                           L" only in letter case");
      }
    }
  }
  if (!refusals.empty()) {
    std::sort(refusals.begin(), refusals.end());  // the same tree, the same words
    text = L"Nothing was written: the updater could not install " +
           std::wstring(refusals.size() == 1 ? L"this file" : L"these files") + L".\n";
    for (const std::wstring& refusal : refusals) text += L"  refused: " + refusal + L"\n";
    outcome.status = 1;
    return outcome;
  }

  // Source names are given from the top of the tree down, so that a file of
  // the install folder itself keeps its own name when a sub-folder holds
  // one of the same name.
  std::set<std::wstring> taken = {Folded(ManifestFileName(build.productId)),
                                  Folded(ManifestFileName(build.productId) + L".pack-tmp"),
                                  Folded(ChecksumFileName(build.productId)),
                                  Folded(ChecksumFileName(build.productId) + L".pack-tmp"),
                                  Folded(SignatureFileName(build.productId)),
                                  Folded(SignatureFileName(build.productId) + L".pack-tmp"),
                                  Folded(L"slut")};
  std::vector<TreeFile*> byDepth;
  for (TreeFile& file : files) byDepth.push_back(&file);
  std::stable_sort(byDepth.begin(), byDepth.end(), [](const TreeFile* a, const TreeFile* b) {
    return a->components.size() < b->components.size();
  });
  for (TreeFile* file : byDepth) file->source = UniqueSource(file->components.back(), &taken);
  std::vector<std::pair<std::wstring, std::wstring>> entries;
  for (const TreeFile& file : files) entries.emplace_back(file.source, file.destination);

  // The payload first and the manifest last, so that an OUT left half
  // written never holds a manifest the updater would act on.
  fs::create_directories(outPath, error);
  for (const TreeFile& file : files) {
    if (error || !CopyBytes(file.path, outPath / NativePath(file.source))) {
      text = L"Writing " + out + L" failed at " + file.source + L".\n";
      return outcome;
    }
  }
  // The checksum file vouches for the files as they lie in OUT, the
  // manifest among them: the manifest is written under a passing name,
  // hashed, and given its own name only once the checksum file is whole.
  const std::wstring manifestName = ManifestFileName(build.productId);
  const fs::path manifestPath = outPath / NativePath(manifestName);
  const fs::path pendingPath = outPath / NativePath(manifestName + L".pack-tmp");
  const fs::path checksumPath = outPath / NativePath(ChecksumFileName(build.productId));
  // Whatever goes wrong from here, OUT holds no manifest and no checksum file.
  const auto abandon = [&](const std::wstring& what) {
    std::error_code ignored;
    fs::remove(pendingPath, ignored);
    fs::remove(checksumPath, ignored);
    text = L"Writing " + what + L" into " + out + L" failed.\n";
    return outcome;
  };
  if (!WriteBytes(pendingPath, ManifestBytes(version, entries, build.productId, key != nullptr))) {
    return abandon(L"the manifest");
  }
  std::vector<std::pair<std::wstring, std::wstring>> vouched = {
      {manifestName, manifestName + L".pack-tmp"}};
  for (const TreeFile& file : files) vouched.emplace_back(file.source, file.source);
  std::wstring failedAt;
  if (!WriteChecksumFile(platform, out, build.productId, vouched, &failedAt)) {
    return abandon(L"the checksum file");
  }
  if (key != nullptr &&
      !SignChecksumFile(platform, SystemSigning(), out, build.productId, *key, &failedAt)) {
    std::error_code ignored;
    fs::remove(outPath / NativePath(SignatureFileName(build.productId)), ignored);
    return abandon(L"the signature (" + failedAt + L")");
  }
  fs::rename(pendingPath, manifestPath, error);
  if (error) return abandon(L"the manifest");

  text =
      L"Packed " + std::to_wstring(files.size()) + (files.size() == 1 ? L" file" : L" files") +
      L" from " + tree + L" into " + out + L", version \"" + version +
      L"\", with the checksum file " + ChecksumFileName(build.productId) +
      (key != nullptr ? L", signed with key " +
                            KeyFingerprint(platform, *ParsePublicKeyDer(PublicKeyDer(key->point)))
                      : L"") +
      L".\n";
  if (!leftOut.empty()) {
    std::sort(leftOut.begin(), leftOut.end());
    text += L"Left out, made by Windows or Office by themselves:\n";
    for (const std::wstring& file : leftOut) text += L"  " + file + L"\n";
  }
  const CheckOutcome check = CheckFolder(platform, inspection, build, out, {});
  text += L"Check of " + out + L":\n" + check.text;
  outcome.status = check.status;
  if (key == nullptr && !build.signingKeys.empty() && check.onlySignatureMissing) {
    // A signed build's maker who signs in a later step (openssl, a token, a
    // key service): the update is whole once signed, if all else holds, as
    // the same check without the signature requirement tells.
    BuildConstants unsignedView = build;
    unsignedView.signingKeys.clear();
    const CheckOutcome rest = CheckFolder(platform, inspection, unsignedView, out, {});
    const std::wstring checksumFile = JoinAsTyped(out, ChecksumFileName(build.productId));
    text += L"Not signed yet: this build's updater takes only updates signed by one of its keys";
    if (rest.status == 0) {
      text +=
          L"; apart from the signature nothing is wrong. Sign it, then deliver it, in one of "
          L"two ways:\n  updater-tool seal --sign KEY " +
          out + L"\n  openssl dgst -sha256 -sign KEY -out " + checksumFile + L".sig " +
          checksumFile + L"\n";
      outcome.status = 0;
    } else {
      text += L", and without the signature the check finds more:\n" + rest.text;
    }
  }
  return outcome;
}

}  // namespace updater::tool
