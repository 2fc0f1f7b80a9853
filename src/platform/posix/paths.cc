// Resolves Windows-style paths on a POSIX file system: splits them at "\"
// and "/", and finds the on-disk names they mean in any letter case, from
// the folder itself or from an index of its listing.
#include "platform/posix/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace updater {
namespace posix {
namespace {

bool IsForbiddenPathCharacter(wchar_t c) {
  return c < 32 || c == L'<' || c == L'>' || c == L'"' || c == L'|';
}

std::wstring Folded(const std::wstring& text) {
  std::wstring folded = text;
  for (wchar_t& c : folded) c = FoldCase(c);
  return folded;
}

}  // namespace

bool HasWildcard(const std::wstring& text) {
  return text.find_first_of(L"*?") != std::wstring::npos;
}

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

FolderIndex::Listing* FolderIndex::Fresh(const std::string& folder, int* error) {
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
  return &listing->second;
}

const std::vector<std::string>* FolderIndex::Find(const std::string& folder,
                                                  const std::wstring& name, int* error) {
  static const std::vector<std::string> kNone;
  Listing* listing = Fresh(folder, error);
  if (listing == nullptr) return nullptr;
  const auto variants = listing->byFolded.find(Folded(name));
  return variants == listing->byFolded.end() ? &kNone : &variants->second;
}

std::vector<std::string> FolderIndex::Matching(const std::string& folder,
                                               const std::wstring& pattern, int* error) {
  std::vector<std::string> found;
  Listing* listing = Fresh(folder, error);
  if (listing == nullptr) return found;
  // Only names that start with the pattern's letters before its first
  // wildcard can match: they lie together in the index, so a look for one
  // name's files costs no scan of a large folder.
  const std::wstring prefix = Folded(pattern.substr(0, pattern.find_first_of(L"*?")));
  for (auto at = listing->byFolded.lower_bound(prefix);
       at != listing->byFolded.end() && at->first.compare(0, prefix.size(), prefix) == 0; ++at) {
    for (const std::string& name : at->second) {
      if (WildcardMatch(pattern, DecodeUtf8(name))) found.push_back(name);
    }
  }
  return found;
}

bool FolderIndex::Touched(const std::string& folder) {
  const auto listing = listings_.find(folder);
  if (listing == listings_.end()) return false;
  struct stat st;
  if (::stat(folder.empty() ? "." : folder.c_str(), &st) != 0) {
    listings_.erase(listing);
    return false;
  }
  listing->second.mtime = st.st_mtim;
  return true;
}

void FolderIndex::Added(const std::string& folder, const std::string& name) {
  const auto listing = listings_.find(folder);
  if (listing == listings_.end() || !Touched(folder)) return;
  Insert(listing->second, name);
}

void FolderIndex::Removed(const std::string& folder, const std::string& name) {
  const auto listing = listings_.find(folder);
  if (listing == listings_.end() || !Touched(folder)) return;
  const auto variants = listing->second.byFolded.find(Folded(DecodeUtf8(name)));
  if (variants != listing->second.byFolded.end()) {
    auto& names = variants->second;
    names.erase(std::remove(names.begin(), names.end(), name), names.end());
    if (names.empty()) listing->second.byFolded.erase(variants);
  }
}

const std::string* FolderIndex::Resolved(const std::string& written) const {
  const auto known = resolved_.find(written);
  return known == resolved_.end() ? nullptr : &known->second;
}

void FolderIndex::Resolve(const std::string& written, const std::string& onDisk) {
  if (resolved_.size() >= kMaxResolved) resolved_.clear();
  resolved_[written] = onDisk;
}

bool FolderIndex::SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

void FolderIndex::Insert(Listing& listing, const std::string& name) {
  std::vector<std::string>& variants = listing.byFolded[Folded(DecodeUtf8(name))];
  const auto at = std::lower_bound(variants.begin(), variants.end(), name);
  if (at == variants.end() || *at != name) variants.insert(at, name);
}

FolderIndex& Index() {
  static FolderIndex index;
  return index;
}

bool ResolveFolder(const SplitPath& split, Lookup lookup, std::string* folder) {
  std::string path = split.absolute ? "/" : "";
  std::string written = path;
  for (const std::string& component : split.folders) written += component + "/";
  if (lookup == Lookup::kIndex) {
    const std::string* known = Index().Resolved(written);
    if (known != nullptr) {
      *folder = *known;
      return true;
    }
  }
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
  if (lookup == Lookup::kIndex) Index().Resolve(written, path);
  *folder = path;
  return true;
}

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

std::optional<std::string> ResolveExisting(const std::wstring& path) {
  const SplitPath split = Split(path);
  if (!split.valid || HasWildcard(split.last)) return std::nullopt;
  std::string folder;
  if (!ResolveFolder(split, Lookup::kReadFolder, &folder)) return std::nullopt;
  std::string name = ResolveName(folder, split.last, Lookup::kReadFolder);
  if (name.empty()) name = EncodeUtf8(split.last);
  return Join(folder, name);
}

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

}  // namespace posix
}  // namespace updater
