// The platform on Linux and other POSIX systems, so that the updater runs
// for real outside Windows: paths written with "\" and matched without regard
// to letter case, the registry read from a .reg export, message boxes on the
// controlling terminal.
// The low-level digest calls of OpenSSL's libcrypto (its EVP road needs the
// library's whole provider machinery for one digest); its header gives the
// types only, the library is loaded when first needed.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <openssl/sha.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <vector>

#include "platform/inspection.h"
#include "platform/platform.h"
#include "platform/reg_file.h"
#include "platform/text.h"

extern char** environ;

namespace updater {
namespace {

// Windows' code for a registry that cannot be read.
constexpr std::int32_t kErrorBadDb = 1009;
// A .reg export larger than this is not a product's registry data.
constexpr off_t kMaxRegFileBytes = 16 * 1024 * 1024;
constexpr std::size_t kCopyChunk = 64 * 1024;
const char kTempSuffix[] = ".updater-tmp";
// What the temporary name adds to the destination's: ".XXXXXX" and the suffix.
constexpr std::size_t kTempMarkLength = 7 + sizeof kTempSuffix - 1;
// Longest name of one path component on Linux file systems.
constexpr std::size_t kLongestName = 255;

// Closes a file descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

class Dir {
 public:
  explicit Dir(const std::string& path) : dir_(::opendir(path.empty() ? "." : path.c_str())) {}
  ~Dir() {
    if (dir_) ::closedir(dir_);
  }
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

bool IsForbiddenPathCharacter(wchar_t c) {
  return c < 32 || c == L'<' || c == L'>' || c == L'"' || c == L'|';
}

bool HasWildcard(const std::wstring& text) {
  return text.find_first_of(L"*?") != std::wstring::npos;
}

// A path as the core writes it, taken apart: its folder (UTF-8, with "/"),
// whether it starts at the root, and its last component.
struct SplitPath {
  bool valid = false;
  std::vector<std::string> folders;
  bool absolute = false;
  std::wstring last;
};

// Splits `path` at "\" and "/". Doubled separators count once, as on
// Windows. Characters Windows forbids in names, and wildcards before the
// last component, make the path invalid.
SplitPath Split(const std::wstring& path) {
  SplitPath split;
  for (wchar_t c : path) {
    if (IsForbiddenPathCharacter(c)) return split;
  }
  std::vector<std::wstring> parts;
  std::wstring current;
  for (wchar_t c : path) {
    if (c == L'\\' || c == L'/') {
      parts.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  split.absolute = !path.empty() && (path[0] == L'\\' || path[0] == L'/');
  split.last = current;
  for (const std::wstring& part : parts) {
    if (part.empty()) continue;
    if (HasWildcard(part)) return split;
    split.folders.push_back(EncodeUtf8(part));
  }
  split.valid = true;
  return split;
}

bool IsPlainFile(const std::string& fullPath, const std::string& name) {
  if (name.empty() || name[0] == '.') return false;  // dot files count as hidden
  struct stat st;
  return ::stat(fullPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// The first entry of `folder` in name order (as an NTFS folder lists them)
// whose name matches the wildcard `pattern` and that passes `accept`. Empty
// when none; `error` is set when the folder cannot be read.
template <typename Accept>
std::string ScanFolder(const std::string& folder, const std::wstring& pattern, Accept accept,
                       int* error) {
  Dir dir(folder);
  if (!dir.get()) {
    *error = errno;
    return std::string();
  }
  std::string best;
  std::wstring bestText;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::wstring text = DecodeUtf8(name);
    if (!WildcardMatch(pattern, text) || !accept(name)) continue;
    const int order = best.empty() ? -1 : CompareFolded(text, bestText);
    if (order < 0 || (order == 0 && text < bestText)) {
      best = name;
      bestText = text;
    }
  }
  return best;
}

std::wstring Folded(const std::wstring& text) {
  std::wstring folded = text;
  for (wchar_t& c : folded) c = FoldCase(c);
  return folded;
}

// The names of folders by their case-folded form, so that a name in another
// letter case is found without reading the folder again for every look-up
// (a manifest of thousands of new files would otherwise cost a read of the
// growing folder per file). A listing serves only while the folder's
// modification time is the one it was read at; the files the updater itself
// adds are entered as they are made.
class FolderIndex {
 public:
  // The entries of `folder` equal to `name` apart from letter case, in name
  // order; null, with `error` set, when the folder cannot be read.
  const std::vector<std::string>* Find(const std::string& folder, const std::wstring& name,
                                       int* error) {
    static const std::vector<std::string> kNone;
    struct stat st;
    const std::string path = folder.empty() ? "." : folder;
    if (::stat(path.c_str(), &st) != 0) {
      *error = errno;
      return nullptr;
    }
    auto listing = listings_.find(folder);
    if (listing == listings_.end() || !SameTime(listing->second.mtime, st.st_mtim)) {
      if (listings_.size() >= kMaxFolders) listings_.clear();
      Listing fresh;
      fresh.mtime = st.st_mtim;
      Dir dir(path);
      if (!dir.get()) {
        *error = errno;
        return nullptr;
      }
      while (const dirent* entry = ::readdir(dir.get())) {
        const std::string entryName = entry->d_name;
        if (entryName != "." && entryName != "..") Insert(fresh, entryName);
      }
      listing = listings_.insert_or_assign(folder, std::move(fresh)).first;
    }
    const auto variants = listing->second.byFolded.find(Folded(name));
    return variants == listing->second.byFolded.end() ? &kNone : &variants->second;
  }

  // Enters `name`, just made in `folder` by the updater.
  void Added(const std::string& folder, const std::string& name) {
    const auto listing = listings_.find(folder);
    struct stat st;
    if (listing == listings_.end()) return;
    if (::stat(folder.empty() ? "." : folder.c_str(), &st) != 0) {
      listings_.erase(listing);
      return;
    }
    Insert(listing->second, name);
    listing->second.mtime = st.st_mtim;
  }

 private:
  static constexpr std::size_t kMaxFolders = 64;
  struct Listing {
    timespec mtime;
    std::map<std::wstring, std::vector<std::string>> byFolded;
  };

  static bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  }

  static void Insert(Listing& listing, const std::string& name) {
    std::vector<std::string>& variants = listing.byFolded[Folded(DecodeUtf8(name))];
    const auto at = std::lower_bound(variants.begin(), variants.end(), name);
    if (at == variants.end() || *at != name) variants.insert(at, name);
  }

  std::map<std::string, Listing> listings_;
};

FolderIndex& Index() {
  static FolderIndex index;
  return index;
}

// How a name in another letter case is looked for: by reading the folder
// each time, or in the folder index. The index serves the copies, made while
// the product is closed and nothing else changes the install folder; the
// presence tests (the lock file above all) always read the folder, since a
// change within one tick of the folder's clock would not show in the index.
enum class Lookup { kReadFolder, kIndex };

// The entry of `folder` that `name` means and that passes `accept`: the
// exact name when it does, else the first that differs only in letter case.
// Empty when none; `error` is set when the folder cannot be read.
template <typename Accept>
std::string FindVariant(const std::string& folder, const std::wstring& name, Accept accept,
                        Lookup lookup, int* error) {
  const std::string exact = EncodeUtf8(name);
  if (accept(exact)) return exact;
  // Without wildcards the pattern matches just the name in any letter case.
  if (lookup == Lookup::kReadFolder) return ScanFolder(folder, name, accept, error);
  const std::vector<std::string>* variants = Index().Find(folder, name, error);
  if (!variants) return std::string();
  for (const std::string& variant : *variants) {
    if (variant != exact && accept(variant)) return variant;
  }
  return std::string();
}

// The on-disk form of the folders of `split`: each component is taken as it
// stands when it exists, otherwise the entry that differs only in letter case.
// False, with errno set, when a folder does not exist or cannot be read.
bool ResolveFolder(const SplitPath& split, Lookup lookup, std::string* folder) {
  std::string path = split.absolute ? "/" : "";
  for (const std::string& component : split.folders) {
    int error = 0;
    const std::string found = FindVariant(
        path, DecodeUtf8(component),
        [&path](const std::string& name) {
          struct stat st;
          return ::stat(Join(path, name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        },
        lookup, &error);
    if (found.empty()) {
      errno = error ? error : ENOENT;
      return false;
    }
    path = Join(path, found);
  }
  *folder = path;
  return true;
}

// The existing entry of `folder` that `name` means: the exact name when it
// exists, else one that differs only in letter case; empty when none.
std::string ResolveName(const std::string& folder, const std::wstring& name, Lookup lookup) {
  int error = 0;
  return FindVariant(
      folder, name,
      [&folder](const std::string& entry) {
        struct stat st;
        return ::lstat(Join(folder, entry).c_str(), &st) == 0;
      },
      lookup, &error);
}

// The full on-disk path of an existing file, or the path as written when it
// cannot be resolved.
std::optional<std::string> ResolveExisting(const std::wstring& path) {
  const SplitPath split = Split(path);
  if (!split.valid || HasWildcard(split.last)) return std::nullopt;
  std::string folder;
  if (!ResolveFolder(split, Lookup::kReadFolder, &folder)) return std::nullopt;
  std::string name = ResolveName(folder, split.last, Lookup::kReadFolder);
  if (name.empty()) name = EncodeUtf8(split.last);
  return Join(folder, name);
}

CopyError CopyErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return CopyError::kFolderMissing;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return CopyError::kAccessDenied;
    case ETXTBSY:
    case EBUSY:
    case EAGAIN: return CopyError::kInUse;
    case ENAMETOOLONG:
    case EILSEQ:
    case EINVAL: return CopyError::kInvalidName;
    case ENOSPC:
    case EDQUOT: return CopyError::kNoSpace;
    default: return CopyError::kOther;
  }
}

// Copies the `size` bytes of `in` to `out` inside the kernel where it can
// (copy_file_range, then sendfile), so a large payload copies as fast as cp
// and needs no buffer of ours. Some file systems end a kernel copy early
// without an error, so the bytes are counted and the rest is read and
// written; a source that turns out shorter or longer than `size` fails the
// copy. False, with errno set, on failure.
bool CopyContent(int in, int out, off_t size) {
  off_t copied = 0;
  bool kernelCopy = true;
  while (kernelCopy && copied < size) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n > 0) {
      copied += n;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n == 0 || errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
               errno == EOPNOTSUPP) {
      kernelCopy = false;
    } else {
      return false;
    }
  }
  while (copied < size) {
    const ssize_t n = ::sendfile(out, in, nullptr, 1 << 30);
    if (n > 0) {
      copied += n;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n == 0 || errno == EINVAL || errno == ENOSYS) {
      break;
    } else {
      return false;
    }
  }
  std::vector<char> buffer(kCopyChunk);
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
    copied += n;
  }
  if (copied != size) {
    errno = EIO;
    return false;
  }
  return true;
}

// Bytes read and hashed at a time, and how much a hashed copy writes before
// it starts the disk on it, so that the disk writes while the next bytes
// are hashed.
constexpr std::size_t kHashChunk = 64 * 1024;
constexpr off_t kWriteBehind = 8 * 1024 * 1024;

// OpenSSL's libcrypto, loaded for the first digest. Linked into the program,
// its start-up probe of the processor would run at every product start, and
// in a virtual machine each of its CPUID instructions is a trip to the host.
struct Libcrypto {
  decltype(&SHA256_Init) init = nullptr;
  decltype(&SHA256_Update) update = nullptr;
  decltype(&SHA256_Final) final = nullptr;

  // The library's digest calls; null when it cannot be loaded.
  static const Libcrypto* Get() {
    static const Libcrypto library = Load();
    return library.init != nullptr ? &library : nullptr;
  }

 private:
  static Libcrypto Load() {
    Libcrypto library;
    for (const char* name : {"libcrypto.so.3", "libcrypto.so"}) {
      void* handle = ::dlopen(name, RTLD_LAZY | RTLD_LOCAL);
      if (handle == nullptr) continue;
      library.init = reinterpret_cast<decltype(init)>(::dlsym(handle, "SHA256_Init"));
      library.update = reinterpret_cast<decltype(update)>(::dlsym(handle, "SHA256_Update"));
      library.final = reinterpret_cast<decltype(final)>(::dlsym(handle, "SHA256_Final"));
      if (library.init && library.update && library.final) return library;
      library = Libcrypto();
      ::dlclose(handle);
    }
    return library;
  }
};

// A SHA-256 digest under way; ok() is false when libcrypto cannot be had.
class Hasher {
 public:
  Hasher() : crypto_(Libcrypto::Get()) {
    if (crypto_ != nullptr && crypto_->init(&context_) != 1) crypto_ = nullptr;
  }
  bool ok() const { return crypto_ != nullptr; }
  void Add(const char* bytes, std::size_t size) { crypto_->update(&context_, bytes, size); }
  Sha256 Finish() {
    Sha256 digest;
    crypto_->final(digest.data(), &context_);
    return digest;
  }

 private:
  const Libcrypto* crypto_;
  SHA256_CTX context_;
};

// Reads `in` to its end into `hasher`; false, with errno set, on failure.
bool HashAll(int in, Hasher* hasher) {
  std::vector<char> buffer(kHashChunk);
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    hasher->Add(buffer.data(), static_cast<std::size_t>(n));
  }
}

// Copies `in` to its end into `out` through our own buffer, hashing each
// byte as it is written, so that the digest is that of the copy itself: a
// source that grew or shrank since it was checked shows in the digest.
// False, with errno set, on failure.
bool CopyHashed(int in, int out, Sha256* digest) {
  Hasher hasher;
  if (!hasher.ok()) {
    errno = ENOSYS;
    return false;
  }
  std::vector<char> buffer(kHashChunk);
  off_t copied = 0;
  off_t started = 0;  // bytes whose write-out has been started
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    hasher.Add(buffer.data(), static_cast<std::size_t>(n));
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
    copied += n;
    if (copied - started >= kWriteBehind) {
      // Only a hint: where the call is not known the closing fsync does it all.
      ::sync_file_range(out, started, copied - started, SYNC_FILE_RANGE_WRITE);
      started = copied;
    }
  }
  *digest = hasher.Finish();
  return true;
}

class PosixInputFile final : public InputFile {
 public:
  explicit PosixInputFile(int fd) : fd_(fd) {}
  std::ptrdiff_t Read(char* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t n = ::read(fd_.get(), buffer, size);
      if (n >= 0 || errno != EINTR) return n;
    }
  }

 private:
  Fd fd_;
};

// Reads a whole small file; no value when it cannot be read or is too big.
std::optional<std::string> ReadSmallFile(const std::string& path, off_t limit) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > limit) {
    return std::nullopt;
  }
  std::string bytes;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
    if (static_cast<off_t>(bytes.size()) > limit) return std::nullopt;
  }
  return bytes;
}

bool IsStringType(std::uint32_t type) { return type == 1 || type == 2 || type == kRegMultiSz; }

// The ANSI form that RegQueryValueExA gives of a string value stored as
// UTF-16LE (an odd last byte is dropped, as the registry does).
std::string AnsiFromUtf16(const std::vector<unsigned char>& data) {
  std::wstring text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  }
  return EncodeWindows1252(text);
}

// The text of a string value stored as UTF-16LE, surrogate pairs joined, up
// to its first NUL.
std::wstring TextFromUtf16(const std::vector<unsigned char>& data) {
  std::wstring text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    unsigned long unit = data[i] | (data[i + 1] << 8);
    if (unit == 0) break;
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < data.size()) {
      const unsigned long low = data[i + 2] | (data[i + 3] << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    text.push_back(static_cast<wchar_t>(unit));
  }
  return text;
}

// Whether process `pid` has the file `path` open.
bool HasOpen(const std::string& pid, const std::string& path) {
  char real[PATH_MAX];
  if (!::realpath(path.c_str(), real)) return false;
  const std::string folder = "/proc/" + pid + "/fd";
  Dir dir(folder);
  if (!dir.get()) return false;
  while (const dirent* entry = ::readdir(dir.get())) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == real) return true;
  }
  return false;
}

// Where the claim of "one updater at a time" is made for `productId`.
std::string ClaimPath(const std::wstring& productId) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st;
  const std::string folder =
      runtime && *runtime && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) ? runtime : "/tmp";
  return folder + "/updater-" + std::to_string(::getuid()) + "-" + EncodeUtf8(productId) + ".lock";
}

class PosixPlatform final : public Platform {
 public:
  std::wstring EnvironmentValue(const std::wstring& name) override {
    std::optional<std::wstring> folded;
    for (char** entry = environ; entry && *entry; ++entry) {
      const char* equals = std::strchr(*entry, '=');
      if (!equals || equals == *entry) continue;
      const std::wstring key =
          DecodeUtf8(std::string(*entry, static_cast<std::size_t>(equals - *entry)));
      if (key == name) return DecodeUtf8(equals + 1);  // the exact name wins
      if (!folded && CompareFolded(key, name) == 0) folded = DecodeUtf8(equals + 1);
    }
    return folded.value_or(std::wstring());
  }

  FindResult FindFileName(const std::wstring& path) override {
    FindResult result;
    const SplitPath split = Split(path);
    if (!split.valid) {
      result.ok = false;
      return result;
    }
    if (split.last.empty()) return result;
    std::string folder;
    if (!ResolveFolder(split, Lookup::kReadFolder, &folder)) {
      // A folder that does not exist holds no file; one we may not read
      // cannot be searched.
      result.ok = errno == ENOENT || errno == ENOTDIR;
      return result;
    }
    const auto plain = [&folder](const std::string& name) {
      return IsPlainFile(Join(folder, name), name);
    };
    int error = 0;
    const std::string found =
        HasWildcard(split.last)
            ? ScanFolder(folder, split.last, plain, &error)
            : FindVariant(folder, split.last, plain, Lookup::kReadFolder, &error);
    if (error != 0) result.ok = error == ENOENT || error == ENOTDIR;
    result.name = DecodeUtf8(found);
    return result;
  }

  // Paths may be written with "\" here too, so a leading "\" is the root.
  bool IsAbsolutePath(const std::wstring& path) override {
    return !path.empty() && (path[0] == L'/' || path[0] == L'\\');
  }

  FolderPlace LocateFolder(const std::wstring& path) override {
    FolderPlace place;
    place.path = path;
    SplitPath split = Split(path);
    if (!split.valid || HasWildcard(split.last)) return place;
    if (!split.last.empty()) split.folders.push_back(EncodeUtf8(split.last));
    std::string folder;
    struct stat st;
    if (ResolveFolder(split, Lookup::kReadFolder, &folder) &&
        ::stat(folder.empty() ? "." : folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      place.identified = true;
      place.volume = static_cast<std::uint64_t>(st.st_dev);
      place.fileId = static_cast<std::uint64_t>(st.st_ino);
    }
    return place;
  }

  std::unique_ptr<InputFile> OpenFile(const std::wstring& path) override {
    const std::optional<std::string> native = ResolveExisting(path);
    if (!native) return nullptr;
    Fd fd(::open(native->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    return std::make_unique<PosixInputFile>(fd.release());
  }

  bool HashFile(const std::wstring& path, Sha256* digest) override {
    const std::optional<std::string> native = ResolveExisting(path);
    if (!native) return false;
    Fd fd(::open(native->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    Hasher hasher;
    if (!hasher.ok() || !HashAll(fd.get(), &hasher)) return false;
    *digest = hasher.Finish();
    return true;
  }

  CopyError CopyFile(const std::wstring& source, const std::wstring& destination,
                     const Sha256* expected) override {
    const SplitPath to = Split(destination);
    if (!to.valid || to.last.empty() || HasWildcard(to.last)) return CopyError::kInvalidName;
    const std::optional<std::string> from = ResolveExisting(source);
    if (!from) return CopyError::kSourceMissing;
    // Not blocking: a FIFO in place of the source must not hang the run.
    Fd in(::open(from->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!in.valid()) return errno == ENOENT ? CopyError::kSourceMissing : CopyErrorFromErrno(errno);
    struct stat sourceStat;
    if (::fstat(in.get(), &sourceStat) != 0 || !S_ISREG(sourceStat.st_mode)) {
      return CopyError::kSourceMissing;
    }

    std::string folder;
    if (!ResolveFolder(to, Lookup::kIndex, &folder)) {
      return errno == ENOENT || errno == ENOTDIR ? CopyError::kFolderMissing
                                                 : CopyErrorFromErrno(errno);
    }
    // An existing destination in another letter case is the file to replace.
    std::string name = ResolveName(folder, to.last, Lookup::kIndex);
    if (name.empty()) name = EncodeUtf8(to.last);
    const std::string target = Join(folder, name);
    // A folder, or a file nobody may write (read-only, as Windows calls
    // it), is not replaced.
    struct stat targetStat;
    if (::stat(target.c_str(), &targetStat) == 0 &&
        (S_ISDIR(targetStat.st_mode) || (targetStat.st_mode & 0222) == 0)) {
      return CopyError::kAccessDenied;
    }

    // The new content goes to a temporary file of a new, unique name beside
    // the destination and replaces it in one rename, so the destination never
    // holds a part and no other file is ever written through.
    std::string temp =
        (name.size() + kTempMarkLength <= kLongestName ? target : Join(folder, "updater")) +
        ".XXXXXX" + kTempSuffix;
    Fd out(::mkostemps(temp.data(), sizeof kTempSuffix - 1, O_CLOEXEC));
    if (!out.valid()) return CopyErrorFromErrno(errno);
    Sha256 copied;
    const bool written =
        ::fchmod(out.get(), sourceStat.st_mode & 0777) == 0 &&
        (expected != nullptr ? CopyHashed(in.get(), out.get(), &copied)
                             : CopyContent(in.get(), out.get(), sourceStat.st_size));
    if (written && expected != nullptr && copied != *expected) {
      ::unlink(temp.c_str());
      return CopyError::kChanged;
    }
    if (!written || ::fsync(out.get()) != 0) {
      const int error = errno;
      ::unlink(temp.c_str());
      return error == ENOENT ? CopyError::kOther : CopyErrorFromErrno(error);
    }
    if (::close(out.release()) != 0 || ::rename(temp.c_str(), target.c_str()) != 0) {
      const int error = errno;
      ::unlink(temp.c_str());
      return CopyErrorFromErrno(error);
    }
    Index().Added(folder, name);
    // The rename itself is made durable with the folder.
    Fd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) ::fsync(dir.get());
    return CopyError::kNone;
  }

  std::int32_t RegOpenKeyExA(RegistryKey root, const std::string& subKey, std::uint32_t,
                             std::uint32_t, RegistryKey* key) override {
    if (root != kHkeyCurrentUser) return kErrorFileNotFound;
    // The export is read at each opening, so that it is never stale; the
    // updater opens one key per run.
    const std::optional<std::string> bytes = ReadSmallFile(RegFilePath(), kMaxRegFileBytes);
    if (!bytes) return kErrorFileNotFound;
    const std::optional<RegFile> registry = ParseRegFile(*bytes);
    if (!registry) return kErrorBadDb;
    std::wstring path = DecodeWindows1252(subKey);
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    const RegFileKey* found = registry->FindKey(path);
    if (!found) return kErrorFileNotFound;
    const RegistryKey handle = nextHandle_++;
    open_[handle] = *found;
    *key = handle;
    return kErrorSuccess;
  }

  std::int32_t RegQueryValueExA(RegistryKey key, const std::string& name, std::uint32_t* type,
                                unsigned char* data, std::uint32_t* size) override {
    const auto openKey = open_.find(key);
    if (openKey == open_.end()) return kErrorInvalidHandle;
    const auto value = openKey->second.values.find(DecodeWindows1252(name));
    if (value == openKey->second.values.end()) return kErrorFileNotFound;
    const std::string bytes =
        IsStringType(value->second.type)
            ? AnsiFromUtf16(value->second.data)
            : std::string(value->second.data.begin(), value->second.data.end());
    if (type) *type = value->second.type;
    const std::uint32_t needed = static_cast<std::uint32_t>(bytes.size());
    if (data) {
      if (!size || *size < needed) {
        if (size) *size = needed;
        return kErrorMoreData;
      }
      std::memcpy(data, bytes.data(), bytes.size());
    }
    if (size) *size = needed;
    return kErrorSuccess;
  }

  std::int32_t RegQueryTextW(RegistryKey key, const std::wstring& name,
                             std::wstring* text) override {
    const auto openKey = open_.find(key);
    if (openKey == open_.end()) return kErrorInvalidHandle;
    const auto value = openKey->second.values.find(name);
    if (value == openKey->second.values.end()) return kErrorFileNotFound;
    if (value->second.type != kRegSz) return kErrorUnsupportedType;
    *text = TextFromUtf16(value->second.data);
    return kErrorSuccess;
  }

  std::int32_t RegCloseKey(RegistryKey key) override {
    return open_.erase(key) == 1 ? kErrorSuccess : kErrorInvalidHandle;
  }

  int ShowMessage(const std::wstring& prompt, unsigned flags, const std::wstring& title) override {
    Fd tty(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!tty.valid()) return 0;
    std::wstring text;
    for (std::size_t i = 0; i < prompt.size(); ++i) {
      if (prompt[i] == L'\r' && i + 1 < prompt.size() && prompt[i + 1] == L'\n') continue;
      text.push_back(prompt[i]);
    }
    const char* icon = "";
    switch (flags & 0xF0) {
      case kMbIconError: icon = "(x) "; break;
      case kMbIconWarning: icon = "(!) "; break;
      case kMbIconInformation: icon = "(i) "; break;
      default: break;
    }
    const bool yesNo = (flags & 0x0F) == kMbYesNo;
    std::string box = "\n=== " + EncodeUtf8(title) + " ===\n" + icon + EncodeUtf8(text) + "\n";
    if (!WriteAll(tty.get(), box)) return 0;
    const std::string buttons = yesNo ? "[Ja / Nej] (j/n): " : "[OK] (Enter): ";
    for (;;) {
      if (!WriteAll(tty.get(), buttons)) return 0;
      std::string line;
      if (!ReadLine(tty.get(), &line)) return 0;
      if (!yesNo) return kIdOk;
      const std::size_t first = line.find_first_not_of(" \t");
      if (first != std::string::npos) {
        if (line[first] == 'j' || line[first] == 'J') return kIdYes;
        if (line[first] == 'n' || line[first] == 'N') return kIdNo;
      }
    }
  }

  void Sleep(unsigned milliseconds) override {
    timespec wait{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
  }

  [[noreturn]] void EndProgram() override { ::_exit(0); }

  std::wstring AnsiToText(const std::string& bytes) override { return DecodeWindows1252(bytes); }

  std::string TextToAnsi(const std::wstring& text) override { return EncodeWindows1252(text); }

  int CompareText(const std::wstring& a, const std::wstring& b) override {
    return CompareFolded(a, b);
  }

  int CompareNames(const std::wstring& a, const std::wstring& b) override {
    return CompareFolded(a, b);
  }

  std::wstring DecimalSeparator() override {
    std::wstring separator = L".";
    if (locale_t locale = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0))) {
      const char* radix = ::nl_langinfo_l(RADIXCHAR, locale);
      if (radix && *radix) separator = DecodeUtf8(radix);
      ::freelocale(locale);
    }
    return separator;
  }

  bool ClaimSingleInstance(const std::wstring& productId) override {
    const std::string path = ClaimPath(productId);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const bool held = errno == EWOULDBLOCK;
      ::close(fd);
      return !held;
    }
    // The descriptor stays open, and the lock held, until the process ends.
    return true;
  }

 private:
  static std::string RegFilePath() {
    if (const char* file = std::getenv("HKCU_FILE"); file && *file) return file;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) {
      return std::string(config) + "/hkcu.reg";
    }
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config/hkcu.reg";
  }

  static bool WriteAll(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // One line typed at the terminal; false at its end or on an error.
  static bool ReadLine(int fd, std::string* line) {
    line->clear();
    for (;;) {
      char c;
      const ssize_t n = ::read(fd, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      if (c == '\n' || c == '\r') return true;
      line->push_back(c);
    }
  }

  std::map<RegistryKey, RegFileKey> open_;
  RegistryKey nextHandle_ = 0x100;
};

class PosixInspection final : public Inspection {
 public:
  ClaimState QueryClaim(const std::wstring& productId) override {
    const std::string path = ClaimPath(productId);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      return errno == ENOENT ? ClaimState::kFree : ClaimState::kUnknown;
    }
    // Trying the lock would hold it for a moment, long enough to turn away
    // an updater that starts just then: the kernel's list of locks tells
    // without taking one. Its lines read "1: FLOCK ADVISORY WRITE pid
    // major:minor:inode start end". The device it names is the file
    // system's own, which stat does not always give (btrfs sub-volumes,
    // overlays): a lock on the same inode of another device counts when its
    // holder has our file open.
    const std::optional<std::string> locks = ReadSmallFile("/proc/locks", kMaxRegFileBytes);
    if (!locks) return ClaimState::kUnknown;
    char device[40];
    std::snprintf(device, sizeof device, "%02x:%02x:", major(st.st_dev), minor(st.st_dev));
    const std::string inode = ":" + std::to_string(static_cast<unsigned long>(st.st_ino));
    std::size_t start = 0;
    while (start < locks->size()) {
      std::size_t end = locks->find('\n', start);
      if (end == std::string::npos) end = locks->size();
      std::vector<std::string> fields;
      for (std::size_t i = start; i < end;) {
        const std::size_t next = std::min(end, locks->find(' ', i));
        if (next > i) fields.push_back(locks->substr(i, next - i));
        i = next + 1;
      }
      start = end + 1;
      // Waiters are listed as "1: -> FLOCK ...": they hold nothing.
      if (fields.size() < 6 || fields[1] != "FLOCK") continue;
      const std::string& where = fields[5];
      if (where.size() < inode.size() ||
          where.compare(where.size() - inode.size(), inode.size(), inode) != 0) {
        continue;
      }
      if (where == device + inode.substr(1) || HasOpen(fields[4], path)) return ClaimState::kHeld;
    }
    return ClaimState::kFree;
  }

  PathKind QueryPath(const std::wstring& path) override {
    const SplitPath split = Split(path);
    if (!split.valid || HasWildcard(split.last)) return PathKind::kUnknown;
    std::string folder;
    if (!ResolveFolder(split, Lookup::kReadFolder, &folder)) {
      return errno == ENOENT || errno == ENOTDIR ? PathKind::kNothing : PathKind::kUnknown;
    }
    const std::string name = ResolveName(folder, split.last, Lookup::kReadFolder);
    struct stat st;
    if (name.empty() || ::stat(Join(folder, name).c_str(), &st) != 0) return PathKind::kNothing;
    if (S_ISDIR(st.st_mode)) return PathKind::kFolder;
    if (name[0] == '.' || !S_ISREG(st.st_mode)) return PathKind::kHiddenFile;
    return PathKind::kPlainFile;
  }

  CopyError ProbeDestination(const std::wstring& destination) override {
    const SplitPath to = Split(destination);
    if (!to.valid || to.last.empty() || HasWildcard(to.last)) return CopyError::kInvalidName;
    std::string folder;
    if (!ResolveFolder(to, Lookup::kReadFolder, &folder)) {
      return errno == ENOENT || errno == ENOTDIR ? CopyError::kFolderMissing : CopyError::kOther;
    }
    if (::access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) != 0) {
      return CopyError::kAccessDenied;
    }
    const std::string name = ResolveName(folder, to.last, Lookup::kReadFolder);
    struct stat st;
    if (!name.empty() && ::stat(Join(folder, name).c_str(), &st) == 0 &&
        (S_ISDIR(st.st_mode) || (st.st_mode & 0222) == 0)) {
      return CopyError::kAccessDenied;
    }
    return CopyError::kNone;
  }
};

}  // namespace

Platform& SystemPlatform() {
  static PosixPlatform platform;
  return platform;
}

Inspection& SystemInspection() {
  static PosixInspection inspection;
  return inspection;
}

}  // namespace updater
