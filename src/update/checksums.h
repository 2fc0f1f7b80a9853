// The checksum file beside the manifest ("OrvakBK.sha256"): the lines that
// sha256sum writes and checks, "<64 hex digits>  <name>", in UTF-8, one for
// every payload file by its source name and one for the manifest itself.
//
// Without it an update is applied as it always was. With it the publisher
// has promised a complete, exact payload: the update is offered only when
// the file belongs to this manifest and every source the list would copy is
// there and matches, and each copy is checked again as it is written.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "update/signatures.h"

namespace updater {

// The largest checksum file read; a bigger one counts as not readable.
constexpr std::size_t kMaxChecksumFileBytes = 1 << 20;

// Digests by file name; names are matched as the file system matches them
// (Platform::CompareNames), so that two names the locale's collation takes
// for one ("rap\u00ADport", "rapport") keep a line each. A list made without
// a platform stays empty: it takes no name.
class ChecksumList {
 public:
  ChecksumList() : entries_(Less{nullptr}) {}
  explicit ChecksumList(Platform& platform) : entries_(Less{&platform}) {}

  // The digest listed for `name`; null when it has no line.
  const Sha256* Find(const std::wstring& name) const;
  // Lists `name`, unless it is listed already (or the list has no
  // platform); false then.
  bool Add(const std::wstring& name, const Sha256& digest);
  std::size_t size() const { return entries_.size(); }

 private:
  struct Less {
    Platform* platform;
    bool operator()(const std::wstring& a, const std::wstring& b) const {
      return platform->CompareNames(a, b) < 0;
    }
  };
  std::map<std::wstring, Sha256, Less> entries_;
};

// Why a checksum file cannot be used, or kNone.
enum class ChecksumFileFault {
  kNone,
  kUnreadable,  // cannot be opened or read, or larger than the limit
  kMalformed,   // a line that is not "<64 hex digits>  <name>" in UTF-8
  kConflict,    // one name listed twice with different digests
};

struct ParsedChecksums {
  ChecksumFileFault fault = ChecksumFileFault::kNone;
  std::size_t line = 0;  // the line at fault (from 1), 0 when none
  ChecksumList list;
};

// Reads the text sha256sum writes: a line per file, the digest in upper- or
// lower-case hex, two spaces (or a space and "*"), the name. A UTF-8 byte
// order mark, CR LF line ends and empty lines are allowed; a line that
// starts with "\" holds a name written with "\\", "\n" and "\r".
ParsedChecksums ParseChecksums(Platform& platform, const std::string& bytes);

// The digest as sha256sum writes it: 64 lower-case hex digits.
std::string DigestHex(const Sha256& digest);

// The checksum file's name for the product `productId`, and its signature's
// ("OrvakBK.sha256", "OrvakBK.sha256.sig").
std::wstring ChecksumFileName(const std::wstring& productId);
std::wstring SignatureFileName(const std::wstring& productId);

// The largest manifest the updater takes: it is read once into memory, and
// both passes read those bytes. A larger one is never offered.
constexpr std::size_t kMaxManifestBytes = 4 << 20;

// Why the payload does not keep the checksum file's promise.
enum class PayloadFault {
  kChecksumFile,      // the checksum file cannot be used (see checksumFault)
  kManifestUnlisted,  // it has no line for the manifest
  kOtherManifest,     // the manifest's line does not match: another delivery
  kUnlisted,          // a source of the list has no line
  kMissing,           // a source of the list is not in the temporary folder
  kDamaged,           // a source's bytes do not match its line
  kUnreadable,        // a source (or the manifest) cannot be read
  kListCut,           // the manifest could not be read to its end
  kUnterminated,      // the list ends before "slut": not yet (or not wholly) written
  kManifestTooLarge,  // the manifest is larger than kMaxManifestBytes: never offered
  kManifestChanged,   // the manifest changed after its version was read
  // An incomplete or unsigned delivery:
  kChecksumFileMissing,  // the manifest (or a signed build) asks for one
  kSignatureMissing,     // the manifest (or a signed build) asks for one
  kSignatureUnreadable,  // too large, unreadable, or no signature
  kSignatureNotByKey,    // not made by any of the keys it is checked with
  kCryptoUnavailable,    // the system's cryptography cannot be had
  kKeyUnusable,          // a key of the build cannot be read or taken by the system
};

// The most problems a payload check lists; the rest are only counted.
constexpr std::size_t kMaxPayloadProblems = 100;

struct PayloadProblem {
  PayloadFault fault;
  std::wstring name;  // the file concerned, empty for the checksum file
};

// The payload held against the checksum file.
struct PayloadCheck {
  bool present = false;  // a checksum file lies beside the manifest
  ChecksumFileFault checksumFault = ChecksumFileFault::kNone;
  std::size_t checksumFaultLine = 0;
  std::vector<PayloadProblem> problems;  // empty: complete and exact
  std::size_t problemsLeftOut = 0;       // beyond kMaxPayloadProblems
  // The digest of every source found to match, for the copies to be held to,
  // and the manifest's, for the list to be held to when it is read again.
  ChecksumList verified;
  Sha256 manifest{};
  // What the manifest says after "slut": that a checksum file comes with
  // it, a signature, and that the update lands whole or not at all.
  bool declaresChecksums = false;
  bool declaresSignature = false;
  bool declaresWhole = false;
  // The keys the signature was checked with, and which made it (-1: none,
  // or it was not checked).
  std::vector<PublicKey> keys;
  int signedBy = -1;
  // The manifest's bytes, read once: both passes read these. Held whenever
  // the manifest was read to its end within kMaxManifestBytes.
  bool manifestHeld = false;
  std::string manifestBytes;

  // True when the update may be offered: a whole list, and no checksum
  // file or one whose promise the payload keeps.
  bool ok() const { return problems.empty(); }

  // Notes a problem (only counted beyond kMaxPayloadProblems).
  void Fail(PayloadFault fault, const std::wstring& name);
};

// Holds the delivery in `tempFolder` (ending in "\") to its promises: the
// manifest of `productId` must hold a whole list (ended by "slut"); with a
// checksum file beside it, every source the list would copy must be listed
// there and match, each read once. With `keys` (a signed build), the
// checksum file must come with a signature by one of them, checked before
// the list is read, and every key must be usable; a manifest that says it
// comes with a checksum file or a signature must have them. Every problem
// is listed (up to kMaxPayloadProblems), except that nothing is compared
// with a checksum file that cannot be used, that nobody signed, or that
// belongs to another manifest.
PayloadCheck CheckPayload(Platform& platform, const std::wstring& tempFolder,
                          const std::wstring& productId, const std::vector<PublicKey>& keys = {});

}  // namespace updater
