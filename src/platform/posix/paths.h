// Windows-style paths on a POSIX file system: written with "\" and matched
// without regard to letter case, resolved to the names on disk.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cerrno>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/handles.h"
#include "platform/text.h"

namespace updater {
namespace posix {

bool HasWildcard(const std::wstring& text);

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
SplitPath Split(const std::wstring& path);

bool IsPlainFile(const std::string& fullPath, const std::string& name);

std::string Join(const std::string& folder, const std::string& name);

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
                                       int* error);

  // The entries of `folder` whose names match the wildcard `pattern`, as the
  // index knows them; empty, with `error` set, when the folder cannot be
  // read.
  std::vector<std::string> Matching(const std::string& folder, const std::wstring& pattern,
                                    int* error);

  // Enters `name`, just made in `folder` by the updater; takes out `name`,
  // just removed (or renamed away) by it.
  void Added(const std::string& folder, const std::string& name);
  void Removed(const std::string& folder, const std::string& name);

  // The on-disk form of a folder path as written ("a/b/", from the root
  // when it starts with "/"), once found; null while not known. The copies
  // look the same few folders up for every file; a folder the updater
  // removes is forgotten with all the others.
  const std::string* Resolved(const std::string& written) const;
  void Resolve(const std::string& written, const std::string& onDisk);
  void ForgetResolved() { resolved_.clear(); }

 private:
  static constexpr std::size_t kMaxFolders = 64;
  static constexpr std::size_t kMaxResolved = 256;
  std::map<std::string, std::string> resolved_;
  struct Listing {
    timespec mtime;
    std::map<std::wstring, std::vector<std::string>> byFolded;
  };
  // The listing of `folder`, read again when the folder changed behind our
  // back; null, with `error` set, when the folder cannot be read.
  Listing* Fresh(const std::string& folder, int* error);
  // Takes the folder's new modification time after a change of ours; false
  // (and the listing dropped) when it cannot be read.
  bool Touched(const std::string& folder);

  static bool SameTime(const timespec& a, const timespec& b);
  static void Insert(Listing& listing, const std::string& name);

  std::map<std::string, Listing> listings_;
};

FolderIndex& Index();

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
bool ResolveFolder(const SplitPath& split, Lookup lookup, std::string* folder);

// The existing entry of `folder` that `name` means: the exact name when it
// exists, else one that differs only in letter case; empty when none.
std::string ResolveName(const std::string& folder, const std::wstring& name, Lookup lookup);

// The full on-disk path of an existing file, or the path as written when it
// cannot be resolved.
std::optional<std::string> ResolveExisting(const std::wstring& path);

// Reads a whole small file; no value when it cannot be read or is too big.
std::optional<std::string> ReadSmallFile(const std::string& path, off_t limit);

}  // namespace posix
}  // namespace updater
