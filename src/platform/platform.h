// The operating-system operations the updater's logic is allowed to use.
//
// The logic (update, manifest, lockwait) reaches the system only through this
// interface. Exactly one realisation is linked into the program: the Windows
// one, or the POSIX one elsewhere. Tests use an in-memory fake, and wrap it
// (PlatformWrapper) to change single operations.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace updater {

// Message-box flags and results, with the values Windows gives them.
constexpr unsigned kMbYesNo = 4;
constexpr unsigned kMbIconError = 16;
constexpr unsigned kMbIconWarning = 48;
constexpr unsigned kMbIconInformation = 64;
constexpr int kIdOk = 1;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// Registry value types and status codes, with the values Windows gives them.
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;
constexpr std::int32_t kErrorSuccess = 0;
constexpr std::int32_t kErrorFileNotFound = 2;
constexpr std::int32_t kErrorAccessDenied = 5;
constexpr std::int32_t kErrorInvalidHandle = 6;
constexpr std::int32_t kErrorMoreData = 234;
constexpr std::int32_t kErrorUnsupportedType = 1630;

// The access rights to read a key and its values (KEY_READ).
constexpr std::uint32_t kKeyRead = 0x20019;

// An opened registry key; 0 is the null key.
using RegistryKey = std::uintptr_t;
// The only root the updater reads.
constexpr RegistryKey kHkeyCurrentUser = 0x80000001u;

// A SHA-256 digest.
using Sha256 = std::array<unsigned char, 32>;

// A point of the curve P-256, as x and y of 32 bytes each, big-endian: a
// public key.
using P256Point = std::array<unsigned char, 64>;
// An ECDSA signature on P-256, as r and s of 32 bytes each, big-endian.
using P256Signature = std::array<unsigned char, 64>;

// What the check of a signature found.
enum class SignatureCheck {
  kValid,        // made with the key's private half over the digest
  kInvalid,      // not
  kBadKey,       // the system cannot take the key (no point of the curve)
  kUnavailable,  // the system's cryptography cannot be had
};

// Outcome of a presence test by path.
struct FindResult {
  bool ok = true;     // false: the path could not be searched
  std::wstring name;  // on-disk name of the first plain file; empty: none
};

// Why a copy did not happen; each maps to one short Danish reason.
enum class CopyError {
  kNone,           // copied
  kFolderMissing,  // the destination's folder does not exist
  kAccessDenied,   // no permission, or the destination is read-only
  kInUse,          // sharing violation or busy file: worth trying again
  kInvalidName,    // the path is not a valid file name
  kSourceMissing,  // the source went away before it could be read
  kNoSpace,        // the disk is full
  kChanged,        // the source is not the one the checksum file vouches for
  kExists,         // a file or folder of that name is already there
  kFolderInPlace,  // a folder has the destination's name
  kOutside,        // a folder on the way is a link that may lead out of the install folder
  kOther,          // anything else
};

// What a path names; a link (or junction) at its end is not followed.
enum class PathType {
  kMissing,       // nothing of that name
  kFile,          // a file that may be replaced
  kReadOnlyFile,  // a file marked read-only (nobody may write it)
  kFolder,        // a folder
  kLink,          // a symbolic link or junction, wherever it leads
  kUnknown,       // the path cannot be looked at
};

// A file's size, and when it was last written in the system's own ticks
// (only ever handed back to the same system).
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t modified = 0;
};

// Where a folder lies, as the system finds it.
struct FolderPlace {
  std::wstring path;         // its full path, short names made long
  bool identified = false;   // it exists and volume and fileId say which it is
  std::uint64_t volume = 0;  // with fileId, the same for every path to it
  std::uint64_t fileId = 0;
};

// A file opened for sequential reading of its bytes.
class InputFile {
 public:
  virtual ~InputFile() = default;
  // Reads up to `size` bytes into `buffer`; returns the count read, 0 at the
  // end of the file, -1 on a read failure.
  virtual std::ptrdiff_t Read(char* buffer, std::size_t size) = 0;
  // The open file's size and last-write time; false when they cannot be had
  // (as for bytes that are no file).
  virtual bool Stamp(FileStamp*) { return false; }
};

// A new file being written. Dropped without Close, it is closed as it
// stands; removing it is the caller's business.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Writes all `size` bytes at the end; kNone, or why not (kNoSpace ...).
  virtual CopyError Write(const char* bytes, std::size_t size) = 0;
  // Writes the rest of `in` at the end inside the system, where it can do
  // so without the bytes passing through the program (a kernel copy): true,
  // with kNone or why not in `error`; false when it cannot be done that way
  // here, and nothing was written or read.
  virtual bool WriteFrom(InputFile& in, CopyError* error) {
    (void)in;
    (void)error;
    return false;
  }
  // Gives the file the last-write time `modified` (from a FileStamp).
  virtual CopyError SetModified(std::int64_t modified) = 0;
  // Forces what was written to the disk (kNone where the file system cannot
  // be asked to: the rename's own flush is then all there is).
  virtual CopyError Flush() = 0;
  // Closes the file; kNone, or the error the close reported.
  virtual CopyError Close() = 0;
};

// A SHA-256 digest taken over bytes given a piece at a time.
class Sha256Stream {
 public:
  virtual ~Sha256Stream() = default;
  virtual void Add(const char* bytes, std::size_t size) = 0;
  // The digest of everything added; false when the system failed on the way.
  virtual bool Finish(Sha256* digest) = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Value of the environment variable `name`, matched without regard to
  // letter case; empty text when it is not set.
  virtual std::wstring EnvironmentValue(const std::wstring& name) = 0;

  // Bare on-disk name of the first plain file (not hidden, not system, not a
  // folder) matching `path`, whose last component may hold * and ?; empty
  // name when none matches; ok=false when the path cannot be searched.
  virtual FindResult FindFileName(const std::wstring& path) = 0;

  // True when `path` names the same place whatever the current folder and
  // drive: on Windows a drive with its root or a share (\\server\share), on
  // POSIX a path from the root; false for any other text. Asks nothing of
  // the file system, so it cannot fail.
  virtual bool IsAbsolutePath(const std::wstring& path) = 0;

  // The folder `path` as the system finds it: its full path with short
  // names made long (as written where that cannot be had) and, when it
  // exists, its identity. Reads only.
  virtual FolderPlace LocateFolder(const std::wstring& path) = 0;

  // The file opened for reading from its start; null when it cannot be
  // opened (missing, a folder, no access).
  virtual std::unique_ptr<InputFile> OpenFile(const std::wstring& path) = 0;

  // Creates the file `path`, which must not exist, for writing; with the
  // mode of the existing file `like` where the system keeps modes (POSIX),
  // ordinary attributes otherwise. kNone and the file in `file`; kExists
  // when a file or folder of that name is there; otherwise why not.
  virtual CopyError CreateNewFile(const std::wstring& path, const std::wstring& like,
                                  std::unique_ptr<OutputFile>* file) = 0;

  // Renames the file `from` to `to` in the same folder or another of the
  // same volume; durable once SyncFolder has run for the folders. With `replace`, an existing
  // `to` is replaced in the same step (it holds the old or the new file,
  // never neither); without, kExists when `to` exists. kSourceMissing when
  // `from` does not exist, kFolderInPlace when it is a folder (never
  // renamed), kInUse when a program holds either file (worth trying again);
  // otherwise why not.
  virtual CopyError RenameFile(const std::wstring& from, const std::wstring& to, bool replace) = 0;

  // Makes the renames, creations and removals of entries of the folder
  // `path` so far durable (where the system does not already); kNone, or
  // why not.
  virtual CopyError SyncFolder(const std::wstring& path) = 0;

  // Removes the file `path`, also one marked read-only; kNone when it is
  // gone or was never there, otherwise why not.
  virtual CopyError RemoveFile(const std::wstring& path) = 0;

  // Makes the folder `path`, whose parent exists; kNone when made, kExists
  // when something of that name is there, otherwise why not.
  virtual CopyError MakeFolder(const std::wstring& path) = 0;

  // Removes the empty folder `path`; kNone when removed, otherwise why not
  // (a folder that is not empty stays).
  virtual CopyError RemoveFolder(const std::wstring& path) = 0;

  // The bytes free to this user on the volume of the folder `path`; false
  // when that cannot be told.
  virtual bool FreeSpace(const std::wstring& path, std::uint64_t* bytes) = 0;

  // What `path` names (its last component matched as the file system
  // matches names), a link at its end not followed.
  virtual PathType TypeOf(const std::wstring& path) = 0;

  // The on-disk names of the files (not folders) in the folder of `pattern`
  // whose names match its last component, which may hold * and ?. True with
  // the names (none when the folder does not exist); false when the folder
  // cannot be read.
  virtual bool ListFiles(const std::wstring& pattern, std::vector<std::wstring>* names) = 0;

  // A digest to take a piece at a time; null when the system's digest
  // cannot be had.
  virtual std::unique_ptr<Sha256Stream> StartSha256() = 0;

  // The SHA-256 digest of the bytes of the file `path`: true and the digest
  // on success; false when it cannot be opened (missing, a folder, no
  // access) or a read fails.
  virtual bool HashFile(const std::wstring& path, Sha256* digest) = 0;

  // The SHA-256 digest of `bytes`: true and the digest; false when the
  // system's digest cannot be had.
  virtual bool HashBytes(const std::string& bytes, Sha256* digest) = 0;

  // Whether `signature` is an ECDSA P-256 signature of `digest` by the key
  // `point`, checked by the system's cryptography.
  virtual SignatureCheck VerifyP256(const P256Point& point, const Sha256& digest,
                                    const P256Signature& signature) = 0;

  // Opens `subKey` under `root`; 0 and the key in `key` on success, the
  // Windows error code otherwise (2 when the key does not exist).
  virtual std::int32_t RegOpenKeyExA(RegistryKey root, const std::string& subKey,
                                     std::uint32_t options, std::uint32_t access,
                                     RegistryKey* key) = 0;

  // Reads the value `name` of `key`: its type and size in bytes, and its data
  // when `data` is given (`size` in: the buffer's capacity). 0 on success;
  // 2 when the value does not exist; 234 when the buffer is too small (the
  // size then tells what is needed); another Windows error code on failure.
  virtual std::int32_t RegQueryValueExA(RegistryKey key, const std::string& name,
                                        std::uint32_t* type, unsigned char* data,
                                        std::uint32_t* size) = 0;

  // The text of the REG_SZ value `name` of `key` as the registry holds it,
  // before any conversion to the ANSI code page, up to its first NUL: 0 and
  // the text on success; 2 when the value does not exist; 1630 when it is
  // not a REG_SZ; another Windows error code when it cannot be read.
  virtual std::int32_t RegQueryTextW(RegistryKey key, const std::wstring& name,
                                     std::wstring* text) = 0;

  // Releases `key`; 0 on success, 6 for a key that is not open.
  virtual std::int32_t RegCloseKey(RegistryKey key) = 0;

  // Shows a modal box and waits for the answer; the button pressed (1 OK,
  // 6 Yes, 7 No), or 0 when the box cannot be shown.
  virtual int ShowMessage(const std::wstring& prompt, unsigned flags,
                          const std::wstring& title) = 0;

  // Blocks the thread for `milliseconds`; nothing to report.
  virtual void Sleep(unsigned milliseconds) = 0;

  // Ends the process at once; never returns to the caller.
  [[noreturn]] virtual void EndProgram() = 0;

  // Text from 8-bit text in the system's ANSI code page; never fails (bytes
  // with no character become the character of the same number).
  virtual std::wstring AnsiToText(const std::string& bytes) = 0;

  // 8-bit ANSI text from text; characters with no ANSI form become "?".
  virtual std::string TextToAnsi(const std::wstring& text) = 0;

  // Order of `a` and `b` in the user's locale, ignoring letter case:
  // negative, 0 or positive. Digit strings compare character by character.
  virtual int CompareText(const std::wstring& a, const std::wstring& b) = 0;

  // Order of two file names as the file system matches them: character by
  // character, ignoring letter case, never by the locale's collation (which
  // ignores some characters and equates others); negative, 0 or positive.
  virtual int CompareNames(const std::wstring& a, const std::wstring& b) = 0;

  // The decimal separator of the user's number format; "." when unknown.
  virtual std::wstring DecimalSeparator() = 0;

  // Claims the right to be the one updater running for `productId`; true
  // when claimed (held until the process ends), false when another updater
  // holds it. When the claim cannot be checked at all it counts as claimed.
  virtual bool ClaimSingleInstance(const std::wstring& productId) = 0;
};

// The realisation compiled into this build (Windows or POSIX).
Platform& SystemPlatform();

// A platform that hands every operation to another one, so that a wrapper
// (a test's, above all) overrides only the operations it changes.
class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform& target) : target_(target) {}

  std::wstring EnvironmentValue(const std::wstring& name) override {
    return target_.EnvironmentValue(name);
  }
  FindResult FindFileName(const std::wstring& path) override { return target_.FindFileName(path); }
  bool IsAbsolutePath(const std::wstring& path) override { return target_.IsAbsolutePath(path); }
  FolderPlace LocateFolder(const std::wstring& path) override { return target_.LocateFolder(path); }
  std::unique_ptr<InputFile> OpenFile(const std::wstring& path) override {
    return target_.OpenFile(path);
  }
  CopyError CreateNewFile(const std::wstring& path, const std::wstring& like,
                          std::unique_ptr<OutputFile>* file) override {
    return target_.CreateNewFile(path, like, file);
  }
  CopyError RenameFile(const std::wstring& from, const std::wstring& to, bool replace) override {
    return target_.RenameFile(from, to, replace);
  }
  CopyError SyncFolder(const std::wstring& path) override { return target_.SyncFolder(path); }
  CopyError RemoveFile(const std::wstring& path) override { return target_.RemoveFile(path); }
  CopyError MakeFolder(const std::wstring& path) override { return target_.MakeFolder(path); }
  CopyError RemoveFolder(const std::wstring& path) override { return target_.RemoveFolder(path); }
  bool FreeSpace(const std::wstring& path, std::uint64_t* bytes) override {
    return target_.FreeSpace(path, bytes);
  }
  PathType TypeOf(const std::wstring& path) override { return target_.TypeOf(path); }
  bool ListFiles(const std::wstring& pattern, std::vector<std::wstring>* names) override {
    return target_.ListFiles(pattern, names);
  }
  std::unique_ptr<Sha256Stream> StartSha256() override { return target_.StartSha256(); }
  bool HashFile(const std::wstring& path, Sha256* digest) override {
    return target_.HashFile(path, digest);
  }
  bool HashBytes(const std::string& bytes, Sha256* digest) override {
    return target_.HashBytes(bytes, digest);
  }
  SignatureCheck VerifyP256(const P256Point& point, const Sha256& digest,
                            const P256Signature& signature) override {
    return target_.VerifyP256(point, digest, signature);
  }
  std::int32_t RegOpenKeyExA(RegistryKey root, const std::string& subKey, std::uint32_t options,
                             std::uint32_t access, RegistryKey* key) override {
    return target_.RegOpenKeyExA(root, subKey, options, access, key);
  }
  std::int32_t RegQueryValueExA(RegistryKey key, const std::string& name, std::uint32_t* type,
                                unsigned char* data, std::uint32_t* size) override {
    return target_.RegQueryValueExA(key, name, type, data, size);
  }
  std::int32_t RegQueryTextW(RegistryKey key, const std::wstring& name,
                             std::wstring* text) override {
    return target_.RegQueryTextW(key, name, text);
  }
  std::int32_t RegCloseKey(RegistryKey key) override { return target_.RegCloseKey(key); }
  int ShowMessage(const std::wstring& prompt, unsigned flags, const std::wstring& title) override {
    return target_.ShowMessage(prompt, flags, title);
  }
  void Sleep(unsigned milliseconds) override { target_.Sleep(milliseconds); }
  [[noreturn]] void EndProgram() override {
    target_.EndProgram();
    std::abort();  // not reached: the target ends the program
  }
  std::wstring AnsiToText(const std::string& bytes) override { return target_.AnsiToText(bytes); }
  std::string TextToAnsi(const std::wstring& text) override { return target_.TextToAnsi(text); }
  int CompareText(const std::wstring& a, const std::wstring& b) override {
    return target_.CompareText(a, b);
  }
  int CompareNames(const std::wstring& a, const std::wstring& b) override {
    return target_.CompareNames(a, b);
  }
  std::wstring DecimalSeparator() override { return target_.DecimalSeparator(); }
  bool ClaimSingleInstance(const std::wstring& productId) override {
    return target_.ClaimSingleInstance(productId);
  }

 private:
  Platform& target_;
};

// Case-insensitive equality in the user's locale; every equality test on
// text in the updater uses it.
inline bool TextEquals(Platform& platform, const std::wstring& a, const std::wstring& b) {
  return platform.CompareText(a, b) == 0;
}

// Case-insensitive order in the user's locale: negative, 0 or positive.
inline int TextCompare(Platform& platform, const std::wstring& a, const std::wstring& b) {
  return platform.CompareText(a, b);
}

}  // namespace updater
