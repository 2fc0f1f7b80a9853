// Writing a payload file beside its destination, and the renames and the
// clean-up around it.
#include "update/staging.h"

#include <memory>
#include <vector>

#include "update/staged_names.h"

namespace updater {
namespace {

// The token of the next name BesideName gives.
std::uint32_t nextToken = 0x5eed0000u;

// Bytes read, hashed and written at a time.
constexpr std::size_t kCopyChunk = 256 * 1024;
// Staged names tried before a copy gives up; one is passed over only when a
// file of that very name exists.
constexpr int kStagedAttempts = 8;
// Longest name of one path component on the file systems we write to: a
// longer one would fail only at the last rename.
constexpr std::size_t kLongestName = 255;

std::size_t LastSeparator(const std::wstring& path) { return path.find_last_of(L"\\/"); }

// Reads `in` to its end into `out`, hashing what it writes when `digest` is
// given, so that the digest is that of the copy itself.
CopyError CopyContent(Platform& platform, InputFile& in, OutputFile& out, Sha256* digest) {
  std::unique_ptr<Sha256Stream> hash;
  if (digest != nullptr) {
    hash = platform.StartSha256();
    if (!hash) return CopyError::kOther;
  } else {
    // Bytes nobody hashes need not pass through here.
    CopyError copied = CopyError::kNone;
    if (out.WriteFrom(in, &copied)) return copied;
  }
  std::vector<char> buffer(kCopyChunk);
  for (;;) {
    const std::ptrdiff_t read = in.Read(buffer.data(), buffer.size());
    if (read == 0) break;
    if (read < 0) return CopyError::kOther;
    const auto size = static_cast<std::size_t>(read);
    if (hash) hash->Add(buffer.data(), size);
    const CopyError written = out.Write(buffer.data(), size);
    if (written != CopyError::kNone) return written;
  }
  if (hash && !hash->Finish(digest)) return CopyError::kOther;
  return CopyError::kNone;
}

}  // namespace

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = LastSeparator(path);
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring NameOf(const std::wstring& path) {
  const std::size_t slash = LastSeparator(path);
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring BesideName(const std::wstring& path,
                        std::wstring (*name)(const std::wstring&, std::uint32_t)) {
  // Unique within the run; a name a file already has is passed over by the
  // caller (the creation or rename that meets it says kExists).
  return FolderOf(path) + name(NameOf(path), nextToken++);
}

void RemoveLeftovers(Platform& platform, const std::wstring& destination) {
  const std::wstring name = NameOf(destination);
  const std::wstring folder = FolderOf(destination);
  std::vector<std::wstring> found;
  if (!platform.ListFiles(folder + LeftoverPattern(name), &found)) return;
  // A run killed between moving the old file aside and renaming the new one
  // in left the destination missing: its old file goes back first, and no
  // moved-aside file is removed in that case (one may be the only copy of
  // the old file). What cannot be looked at is left as it is.
  const PathType type = platform.TypeOf(destination);
  if (type == PathType::kUnknown) return;
  bool missing = type == PathType::kMissing;
  const bool keepAside = missing;
  for (const std::wstring& candidate : found) {
    if (IsAsideNameOf(candidate, name)) {
      if (missing &&
          RenameRetrying(platform, folder + candidate, destination, false) == CopyError::kNone) {
        missing = false;
      } else if (!keepAside) {
        platform.RemoveFile(folder + candidate);
      }
    } else if (IsLeftoverOf(candidate, name)) {
      platform.RemoveFile(folder + candidate);
    }
  }
}

CopyError StageFile(Platform& platform, const std::wstring& source, const std::wstring& destination,
                    const Sha256* expected, std::wstring* staged) {
  if (NameOf(destination).empty() || NameOf(destination).size() > kLongestName) {
    return CopyError::kInvalidName;
  }
  // A folder, or a file nobody may write, is never replaced.
  switch (platform.TypeOf(destination)) {
    case PathType::kFolder: return CopyError::kFolderInPlace;
    case PathType::kReadOnlyFile: return CopyError::kAccessDenied;
    default: break;
  }
  const std::unique_ptr<InputFile> in = platform.OpenFile(source);
  if (!in) return CopyError::kSourceMissing;
  FileStamp stamp;
  const bool stamped = in->Stamp(&stamp);

  std::wstring path;
  std::unique_ptr<OutputFile> out;
  CopyError error = CopyError::kExists;
  for (int attempt = 0; attempt < kStagedAttempts && error == CopyError::kExists; ++attempt) {
    path = BesideName(destination, StagedName);
    error = platform.CreateNewFile(path, destination, &out);
  }
  if (error == CopyError::kExists) return CopyError::kOther;
  if (error != CopyError::kNone) return error;

  Sha256 copied;
  error = CopyContent(platform, *in, *out, expected != nullptr ? &copied : nullptr);
  if (error == CopyError::kNone && expected != nullptr && copied != *expected) {
    error = CopyError::kChanged;
  }
  // Only the content and its last-write time are carried over, as a copy
  // does; a time that cannot be set costs nothing else.
  if (error == CopyError::kNone && stamped) out->SetModified(stamp.modified);
  // On the disk before it can replace the destination, so that a power cut
  // after the rename cannot leave a file of the right name with missing
  // content.
  if (error == CopyError::kNone) error = out->Flush();
  const CopyError closed = out->Close();
  if (error == CopyError::kNone) error = closed;
  if (error != CopyError::kNone) {
    platform.RemoveFile(path);
    return error;
  }
  *staged = path;
  return CopyError::kNone;
}

CopyError RenameRetrying(Platform& platform, const std::wstring& from, const std::wstring& to,
                         bool replace) {
  CopyError error = platform.RenameFile(from, to, replace);
  for (int retry = 0; retry < kBusyRetries && error == CopyError::kInUse; ++retry) {
    platform.Sleep(kBusyRetryPauseMs);
    error = platform.RenameFile(from, to, replace);
  }
  return error;
}

}  // namespace updater
