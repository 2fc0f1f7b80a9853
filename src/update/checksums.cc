// The checksum file read, and the payload held against it.
#include "update/checksums.h"

#include <memory>

#include "manifest/manifest_reader.h"
#include "platform/text.h"
#include "update/entries.h"
#include "update/listing.h"
#include "update/products.h"

namespace updater {
namespace {

const wchar_t kChecksumExtension[] = L".sha256";
const char kByteOrderMark[] = "\xEF\xBB\xBF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseDigest(const std::string& hex, Sha256* digest) {
  if (hex.size() != 2 * digest->size()) return false;
  for (std::size_t i = 0; i < digest->size(); ++i) {
    const int high = HexValue(hex[2 * i]);
    const int low = HexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*digest)[i] = static_cast<unsigned char>(high * 16 + low);
  }
  return true;
}

// A name as sha256sum escapes it on a line that starts with "\"; false for
// any other escape.
bool Unescape(const std::string& escaped, std::string* name) {
  name->clear();
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '\\') {
      name->push_back(escaped[i]);
      continue;
    }
    if (++i == escaped.size()) return false;
    switch (escaped[i]) {
      case '\\': name->push_back('\\'); break;
      case 'n': name->push_back('\n'); break;
      case 'r': name->push_back('\r'); break;
      default: return false;
    }
  }
  return true;
}

// One line: the digest and the name; false when it is not of that form.
bool ParseLine(std::string line, Sha256* digest, std::wstring* name) {
  const bool escaped = !line.empty() && line[0] == '\\';
  if (escaped) line.erase(0, 1);
  constexpr std::size_t kHexDigits = 64;
  // The digest, a space, then a space (text mode) or "*" (binary mode).
  if (line.size() < kHexDigits + 3 || line[kHexDigits] != ' ' ||
      (line[kHexDigits + 1] != ' ' && line[kHexDigits + 1] != '*')) {
    return false;
  }
  if (!ParseDigest(line.substr(0, kHexDigits), digest)) return false;
  std::string bytes = line.substr(kHexDigits + 2);
  if (escaped && !Unescape(line.substr(kHexDigits + 2), &bytes)) return false;
  // Names are UTF-8; anything else is a file of another making.
  *name = DecodeUtf8(bytes);
  return EncodeUtf8(*name) == bytes && !name->empty();
}

}  // namespace

const Sha256* ChecksumList::Find(const std::wstring& name) const {
  if (entries_.key_comp().platform == nullptr) return nullptr;
  const auto found = entries_.find(name);
  return found == entries_.end() ? nullptr : &found->second;
}

bool ChecksumList::Add(const std::wstring& name, const Sha256& digest) {
  if (entries_.key_comp().platform == nullptr) return false;
  return entries_.emplace(name, digest).second;
}

ParsedChecksums ParseChecksums(Platform& platform, const std::string& bytes) {
  ParsedChecksums parsed;
  parsed.list = ChecksumList(platform);
  std::size_t pos = bytes.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
  for (std::size_t line = 1; pos < bytes.size(); ++line) {
    std::size_t end = bytes.find('\n', pos);
    if (end == std::string::npos) end = bytes.size();
    std::string text = bytes.substr(pos, end - pos);
    pos = end + 1;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) continue;
    Sha256 digest;
    std::wstring name;
    if (!ParseLine(text, &digest, &name)) {
      parsed.fault = ChecksumFileFault::kMalformed;
      parsed.line = line;
      return parsed;
    }
    if (const Sha256* listed = parsed.list.Find(name)) {
      // The same file listed twice with one digest promises nothing new.
      if (*listed == digest) continue;
      parsed.fault = ChecksumFileFault::kConflict;
      parsed.line = line;
      return parsed;
    }
    parsed.list.Add(name, digest);
  }
  return parsed;
}

std::string DigestHex(const Sha256& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : digest) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 15]);
  }
  return hex;
}

std::wstring ChecksumFileName(const std::wstring& productId) {
  return productId + kChecksumExtension;
}

std::wstring SignatureFileName(const std::wstring& productId) {
  return ChecksumFileName(productId) + L".sig";
}

namespace {

// A file read whole into `bytes`, if it holds at most `limit` bytes: kNone;
// kNotFound when it cannot be opened; kTooLarge; kUnreadable.
enum class ReadOutcome { kRead, kNotFound, kTooLarge, kUnreadable };

ReadOutcome ReadWhole(Platform& platform, const std::wstring& path, std::size_t limit,
                      std::string* bytes) {
  std::unique_ptr<InputFile> file = platform.OpenFile(path);
  if (!file) return ReadOutcome::kNotFound;
  bytes->clear();
  char buffer[4096];
  for (;;) {
    const std::ptrdiff_t n = file->Read(buffer, sizeof buffer);
    if (n < 0) return ReadOutcome::kUnreadable;
    if (n == 0) return ReadOutcome::kRead;
    bytes->append(buffer, static_cast<std::size_t>(n));
    if (bytes->size() > limit) return ReadOutcome::kTooLarge;
  }
}

}  // namespace

namespace {

// A file read through, whose bytes are kept as they go while they fit in
// `limit`; past it they are dropped, `overflowed` is set and the file reads
// as ended.
class RecordingFile final : public InputFile {
 public:
  RecordingFile(std::unique_ptr<InputFile> file, std::size_t limit, std::string* record,
                bool* overflowed)
      : file_(std::move(file)), limit_(limit), record_(record), overflowed_(overflowed) {}
  std::ptrdiff_t Read(char* buffer, std::size_t size) override {
    if (*overflowed_) return 0;  // nothing more is read past the limit
    const std::ptrdiff_t n = file_->Read(buffer, size);
    if (n > 0) {
      if (record_->size() + static_cast<std::size_t>(n) > limit_) {
        *overflowed_ = true;
        std::string().swap(*record_);
        return 0;
      }
      record_->append(buffer, static_cast<std::size_t>(n));
    }
    return n;
  }

 private:
  std::unique_ptr<InputFile> file_;
  std::size_t limit_;
  std::string* record_;
  bool* overflowed_;
};

// Reads the signature beside the checksum file `checksumBytes` and checks
// it with every key of a signed build; false, with the problem noted, when
// the checksum file is not signed by one of them.
bool CheckSignature(Platform& platform, const std::wstring& signaturePath,
                    const std::wstring& signatureName, const std::string& checksumBytes,
                    PayloadCheck* check) {
  const auto fail = [check, &signatureName](PayloadFault fault) {
    check->problems.push_back({fault, signatureName});
    return false;
  };
  std::string signatureBytes;
  const ReadOutcome read =
      ReadWhole(platform, signaturePath, kMaxSignatureFileBytes, &signatureBytes);
  if (read == ReadOutcome::kNotFound) return fail(PayloadFault::kSignatureMissing);
  const std::optional<P256Signature> signature =
      read == ReadOutcome::kRead ? ParseSignature(signatureBytes) : std::nullopt;
  if (!signature) return fail(PayloadFault::kSignatureUnreadable);
  if (check->keys.empty()) return true;  // an unsigned build only asks that it be there
  Sha256 digest;
  if (!platform.HashBytes(checksumBytes, &digest)) return fail(PayloadFault::kCryptoUnavailable);
  // Every key is tried, not only until one fits: a key the system cannot
  // take refuses every update, so that a damaged build never quietly
  // narrows to the keys that still work.
  bool unavailable = false;
  bool badKey = false;
  for (std::size_t k = 0; k < check->keys.size(); ++k) {
    const SignatureCheck verdict = platform.VerifyP256(check->keys[k].point, digest, *signature);
    if (verdict == SignatureCheck::kValid && check->signedBy < 0) {
      check->signedBy = static_cast<int>(k);
    }
    unavailable = unavailable || verdict == SignatureCheck::kUnavailable;
    badKey = badKey || verdict == SignatureCheck::kBadKey;
  }
  if (badKey || unavailable) check->signedBy = -1;
  if (badKey) return fail(PayloadFault::kKeyUnusable);
  if (unavailable) return fail(PayloadFault::kCryptoUnavailable);
  if (check->signedBy < 0) return fail(PayloadFault::kSignatureNotByKey);
  return true;
}

}  // namespace

void PayloadCheck::Fail(PayloadFault fault, const std::wstring& name) {
  if (problems.size() < kMaxPayloadProblems) {
    problems.push_back({fault, name});
  } else {
    ++problemsLeftOut;
  }
}

PayloadCheck CheckPayload(Platform& platform, const std::wstring& tempFolder,
                          const std::wstring& productId, const std::vector<PublicKey>& keys) {
  PayloadCheck check;
  check.verified = ChecksumList(platform);
  check.keys = keys;
  const std::wstring checksumName = ChecksumFileName(productId);
  const std::wstring checksumPath = tempFolder + checksumName;
  const std::wstring manifestName = ManifestFileName(productId);
  const std::wstring manifestPath = tempFolder + manifestName;
  const std::wstring signatureName = SignatureFileName(productId);
  const auto fail = [&check](PayloadFault fault, const std::wstring& name) {
    check.Fail(fault, name);
  };
  const bool signedBuild = !keys.empty();
  // A signed build whose keys cannot all be read takes nothing.
  for (const PublicKey& key : keys) {
    if (!key.usable()) {
      fail(PayloadFault::kKeyUnusable, std::wstring());
      return check;
    }
  }
  const FindResult found = platform.FindFileName(checksumPath);
  // The stricter road wherever there is doubt: a presence test that cannot
  // be made counts as finding the file, and so does a file the test passes
  // over (hidden, or a system file) that can be opened; reading it decides.
  check.present = !found.ok || TextEquals(platform, found.name, checksumName) ||
                  platform.OpenFile(checksumPath) != nullptr;
  // A signed build needs the checksum file and its signature before it
  // looks at the list at all.
  if (!check.present && signedBuild) {
    fail(PayloadFault::kChecksumFileMissing, checksumName);
    fail(PayloadFault::kSignatureMissing, signatureName);
    return check;
  }

  std::string checksumBytes;
  ParsedChecksums parsed;
  parsed.list = ChecksumList(platform);
  if (check.present) {
    if (ReadWhole(platform, checksumPath, kMaxChecksumFileBytes, &checksumBytes) !=
        ReadOutcome::kRead) {
      parsed.fault = ChecksumFileFault::kUnreadable;
    } else {
      parsed = ParseChecksums(platform, checksumBytes);
    }
    if (parsed.fault != ChecksumFileFault::kNone) {
      check.checksumFault = parsed.fault;
      check.checksumFaultLine = parsed.line;
      fail(PayloadFault::kChecksumFile, std::wstring());
      return check;
    }
    // The signature over the checksum file's exact bytes, before the
    // manifest is read: a delivery nobody signed costs no more than these
    // two small files.
    if (signedBuild && !CheckSignature(platform, tempFolder + signatureName, signatureName,
                                       checksumBytes, &check)) {
      return check;
    }
    // The manifest is read once into memory: what is checked is what both
    // passes read.
    switch (ReadWhole(platform, manifestPath, kMaxManifestBytes, &check.manifestBytes)) {
      case ReadOutcome::kRead: break;
      case ReadOutcome::kTooLarge:
        fail(PayloadFault::kManifestTooLarge, manifestName);
        return check;
      default: fail(PayloadFault::kUnreadable, manifestName); return check;
    }
    check.manifestHeld = true;
    // The file must belong to this very manifest: one left from an earlier
    // delivery promises nothing about this one.
    const Sha256* manifestDigest = parsed.list.Find(manifestName);
    if (manifestDigest == nullptr) {
      fail(PayloadFault::kManifestUnlisted, manifestName);
      return check;
    }
    Sha256 digest;
    if (!platform.HashBytes(check.manifestBytes, &digest)) {
      fail(PayloadFault::kUnreadable, manifestName);
      return check;
    }
    if (digest != *manifestDigest) {
      fail(PayloadFault::kOtherManifest, manifestName);
      return check;
    }
    check.manifest = digest;
  }

  // Without a checksum file the manifest is read as the list goes, only as
  // far as the list needs, and its bytes are kept on the way: the copy pass
  // then reads the very list checked here. One too large to keep is not
  // read further, and never offered: a list read twice from its file could
  // change between the two reads.
  ManifestReader reader(platform);
  bool overflowed = false;
  if (check.present) {
    reader.openBytes(check.manifestBytes);
  } else {
    std::unique_ptr<InputFile> file = platform.OpenFile(manifestPath);
    // A list that cannot be read is no list to apply.
    if (file == nullptr) {
      fail(PayloadFault::kUnreadable, manifestName);
      return check;
    }
    reader.openFile(std::make_unique<RecordingFile>(std::move(file), kMaxManifestBytes,
                                                    &check.manifestBytes, &overflowed));
  }

  // One pass over the list: each source the copy pass would copy is held
  // against the checksum file as it comes; no entry is kept.
  ManifestList list(platform, reader);
  list.ReadVersion();
  ChecksumList seen(platform);  // the listed sources looked at, matching or not
  std::vector<std::wstring> unlisted;
  while (const std::optional<ManifestEntry> entry = list.Next()) {
    if (!check.present || check.problems.size() >= kMaxPayloadProblems) continue;
    // Names the presence test can never match are never copied; a source
    // looked at once is not looked at again. Both are told without asking
    // the file system.
    if (SourceFateByName(entry->source)) continue;
    const Sha256* listed = parsed.list.Find(entry->source);
    if (listed == nullptr) {
      // Told once per name; only the few told are remembered.
      bool told = false;
      for (const std::wstring& name : unlisted) {
        told = told || platform.CompareNames(name, entry->source) == 0;
      }
      if (!told) {
        unlisted.push_back(entry->source);
        fail(PayloadFault::kUnlisted, entry->source);
      }
      continue;
    }
    if (!seen.Add(entry->source, Sha256{})) continue;
    const SourceFate fate = TestSource(platform, tempFolder, entry->source);
    Sha256 digest;
    if (fate == SourceFate::kMissing) {
      fail(PayloadFault::kMissing, entry->source);
    } else if (!platform.HashFile(tempFolder + entry->source, &digest)) {
      fail(fate == SourceFate::kUnknown ? PayloadFault::kMissing : PayloadFault::kUnreadable,
           entry->source);
    } else if (digest != *listed) {
      fail(PayloadFault::kDamaged, entry->source);
    } else {
      check.verified.Add(entry->source, digest);
    }
  }
  // After the terminator, where older updaters never read, a manifest says
  // what comes with it.
  const Declarations declared = list.ReadDeclarations(productId);
  check.declaresChecksums = declared.checksums;
  check.declaresSignature = declared.signature;
  check.declaresWhole = declared.whole;
  // Only a list that "slut" ended is the whole list: one that ends before
  // it is still being written (or was cut), and is never applied; nor is
  // one whose declarations could not be read to the end.
  if (overflowed) {
    fail(PayloadFault::kManifestTooLarge, manifestName);
  } else if (list.readFailed()) {
    fail(PayloadFault::kListCut, manifestName);
  } else if (!list.terminated()) {
    fail(PayloadFault::kUnterminated, manifestName);
  }
  reader.close();
  if (!check.present && !overflowed) check.manifestHeld = true;

  if (!check.present) {
    if (check.declaresChecksums) fail(PayloadFault::kChecksumFileMissing, checksumName);
    if (check.declaresSignature) fail(PayloadFault::kSignatureMissing, signatureName);
  } else if (!signedBuild && check.declaresSignature) {
    CheckSignature(platform, tempFolder + signatureName, signatureName, checksumBytes, &check);
  }
  return check;
}

}  // namespace updater
