// The Windows copy's answers on a real (Wine's) file system, for the
// end-to-end suite: each way a copy can fail gives its reason, a read-only
// source installs as an ordinary file, only the updater's own staged files
// are removed, and a busy destination costs a rename, not a copy. Also the
// answers of the small file operations the copy is made of.
//
//   copy_errors FOLDER
//
// FOLDER must exist and be empty. Prints one line per check that fails and
// ends with the number of them (0: all held).
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "update/copy.h"
#include "update/staged_names.h"
#include "update/staging.h"

namespace {

using updater::CopyError;
using updater::PathType;

int failures = 0;

void Expect(bool held, const std::string& what) {
  if (held) return;
  std::printf("FAILED: %s\n", what.c_str());
  ++failures;
}

std::string Name(CopyError error) {
  switch (error) {
    case CopyError::kNone: return "none";
    case CopyError::kFolderMissing: return "folder missing";
    case CopyError::kAccessDenied: return "access denied";
    case CopyError::kInUse: return "in use";
    case CopyError::kInvalidName: return "invalid name";
    case CopyError::kSourceMissing: return "source missing";
    case CopyError::kNoSpace: return "no space";
    case CopyError::kChanged: return "changed";
    case CopyError::kExists: return "exists";
    case CopyError::kFolderInPlace: return "folder in place";
    case CopyError::kOutside: return "outside";
    case CopyError::kOther: break;
  }
  return "other";
}

void Write(const std::wstring& path, const std::string& content) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(file);
}

std::string Read(const std::wstring& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  char buffer[256];
  DWORD read = 0;
  const bool ok = ReadFile(file, buffer, sizeof buffer, &read, nullptr) != 0;
  CloseHandle(file);
  return ok ? std::string(buffer, read) : std::string();
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

ULONGLONG LastWrite(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) |
         data.ftLastWriteTime.dwLowDateTime;
}

// Counts the creations and renames of the platform it wraps; the first
// pause of a retry lets go of the file `held` keeps.
class Counting final : public updater::PlatformWrapper {
 public:
  Counting(updater::Platform& target, HANDLE held) : PlatformWrapper(target), held_(held) {}
  CopyError CreateNewFile(const std::wstring& path, const std::wstring& like,
                          std::unique_ptr<updater::OutputFile>* file) override {
    ++creations;
    return PlatformWrapper::CreateNewFile(path, like, file);
  }
  CopyError RenameFile(const std::wstring& from, const std::wstring& to, bool replace) override {
    ++renames;
    return PlatformWrapper::RenameFile(from, to, replace);
  }
  void Sleep(unsigned) override {
    if (held_ != INVALID_HANDLE_VALUE) CloseHandle(held_);
    held_ = INVALID_HANDLE_VALUE;
  }
  int creations = 0;
  int renames = 0;

 private:
  HANDLE held_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: copy_errors FOLDER\n", stderr);
    return 100;
  }
  updater::Platform& platform = updater::SystemPlatform();
  const std::wstring folder = std::wstring(argv[1]) + L"\\";
  const std::wstring source = folder + L"source.dat";
  Write(source, "new content");
  const auto copy = [&](const std::wstring& from, const std::wstring& to) {
    return updater::CopyIntoPlace(platform, from, to, nullptr);
  };

  // Each failure names its reason.
  const struct {
    const char* what;
    std::wstring from;
    std::wstring to;
    CopyError expected;
  } cases[] = {
      {"source missing", folder + L"none.dat", folder + L"a.dat", CopyError::kSourceMissing},
      {"folder missing", source, folder + L"Mangler\\a.dat", CopyError::kFolderMissing},
      {"name too long", source, folder + std::wstring(300, L'n'), CopyError::kInvalidName},
      {"a folder in the way", source, folder + L"Folder.dat", CopyError::kFolderInPlace},
      {"read-only destination", source, folder + L"ro.dat", CopyError::kAccessDenied},
  };
  CreateDirectoryW((folder + L"Folder.dat").c_str(), nullptr);
  Write(folder + L"ro.dat", "old");
  SetFileAttributesW((folder + L"ro.dat").c_str(), FILE_ATTRIBUTE_READONLY);
  for (const auto& c : cases) {
    const CopyError error = copy(c.from, c.to);
    Expect(error == c.expected, std::string(c.what) + ": " + Name(error));
  }
  Expect(Read(folder + L"ro.dat") == "old", "the read-only destination is untouched");

  // A read-only source installs as an ordinary file with the source's
  // last-write time, which the next copy replaces.
  const std::wstring readOnly = folder + L"readonly.dat";
  Write(readOnly, "read-only payload");
  SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
  const std::wstring installed = folder + L"installed.dat";
  Sleep(50);  // the copy's own write time would differ from the source's
  Expect(copy(readOnly, installed) == CopyError::kNone, "a read-only source is copied");
  const DWORD attributes = GetFileAttributesW(installed.c_str());
  Expect(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) == 0,
         "the copy of a read-only source is not read-only");
  Expect(LastWrite(installed) == LastWrite(readOnly), "the copy keeps the last-write time");
  Expect(copy(source, installed) == CopyError::kNone, "the next copy replaces it");

  // A file larger than a write piece, of a length no piece divides, arrives
  // byte for byte.
  std::string large(300 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 4096);
  const std::wstring largeSource = folder + L"large.dat";
  Write(largeSource, large);
  updater::Sha256 sent, landed;
  Expect(copy(largeSource, folder + L"large-copy.dat") == CopyError::kNone &&
             platform.HashFile(largeSource, &sent) &&
             platform.HashFile(folder + L"large-copy.dat", &landed) && sent == landed,
         "a large file is copied whole");

  // A copy held to a digest: the right one installs, any other changes
  // nothing and leaves nothing behind.
  updater::Sha256 digest;
  Expect(platform.HashBytes("new content", &digest), "hashed");
  const std::wstring checked = folder + L"checked.dat";
  Write(checked, "old");
  Expect(updater::CopyIntoPlace(platform, source, checked, &digest) == CopyError::kNone,
         "a copy with the right digest");
  Expect(Read(checked) == "new content", "the checked copy landed");
  digest[0] ^= 1;
  Write(checked, "old");
  const CopyError changed = updater::CopyIntoPlace(platform, source, checked, &digest);
  Expect(changed == CopyError::kChanged, "a copy with another digest: " + Name(changed));
  std::vector<std::wstring> names;
  Expect(platform.ListFiles(folder + L"checked.dat*", &names) && names.size() == 1 &&
             Read(checked) == "old",
         "a refused copy changes nothing and leaves nothing");

  // Only the updater's own staged and moved-aside files of this destination
  // are removed.
  const std::wstring litter = folder + updater::StagedName(L"installed.dat", 0xabcd);
  const std::wstring aside = folder + updater::AsideName(L"installed.dat", 0xabce);
  const std::wstring other = folder + updater::StagedName(L"other.dat", 0xabcd);
  const std::wstring product = folder + L"installed.dat.keep.updater-tmp";
  for (const std::wstring& path : {litter, aside, other, product}) Write(path, "left");
  Expect(copy(source, installed) == CopyError::kNone, "a copy beside litter");
  Expect(!Exists(litter) && !Exists(aside), "the files an earlier run left are removed");
  Expect(Exists(other) && Exists(product), "no other file is removed");

  // A destination a program holds: the staged copy waits for the rename.
  std::wstring staged;
  Expect(updater::StageFile(platform, source, installed, nullptr, &staged) == CopyError::kNone,
         "staged");
  HANDLE held = CreateFileW(installed.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const CopyError busy = platform.RenameFile(staged, installed, true);
  Expect(busy == CopyError::kInUse, "a held destination is busy: " + Name(busy));
  Expect(Exists(staged), "the staged file waits");
  CloseHandle(held);
  Expect(platform.RenameFile(staged, installed, true) == CopyError::kNone,
         "renamed once the destination is free");
  Expect(!Exists(staged), "no staged file left");
  // Through the whole copy: one file written, the rename tried again.
  held = CreateFileW(installed.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
  Counting counting(platform, held);
  const CopyError waited = updater::CopyIntoPlace(counting, source, installed, nullptr);
  Expect(waited == CopyError::kNone && counting.creations == 1 && counting.renames == 2,
         "a busy destination costs one more rename: " + std::to_string(counting.creations) +
             " written, " + std::to_string(counting.renames) + " renames");

  // The small operations' answers where the copy meets something in the way.
  const std::wstring file = folder + L"file.dat";
  const std::wstring subfolder = folder + L"Folder.dat";
  const std::wstring missing = folder + L"Mangler\\x.dat";
  const std::wstring nul = folder + std::wstring(L"a\0b", 3);
  Write(file, "file");
  std::unique_ptr<updater::OutputFile> out;
  const struct {
    const char* what;
    CopyError error;
    CopyError expected;
  } answers[] = {
      {"create over a file", platform.CreateNewFile(file, L"", &out), CopyError::kExists},
      {"create over a folder", platform.CreateNewFile(subfolder, L"", &out), CopyError::kExists},
      {"create in no folder", platform.CreateNewFile(missing, L"", &out),
       CopyError::kFolderMissing},
      {"create a name with NUL", platform.CreateNewFile(nul, L"", &out), CopyError::kInvalidName},
      {"rename onto a file", platform.RenameFile(source, file, false), CopyError::kExists},
      {"rename to a name with NUL", platform.RenameFile(source, nul, true),
       CopyError::kInvalidName},
      {"rename over a folder", platform.RenameFile(source, subfolder, true),
       CopyError::kFolderInPlace},
      {"remove a missing file", platform.RemoveFile(missing), CopyError::kNone},
      {"remove a read-only file", platform.RemoveFile(folder + L"ro.dat"), CopyError::kNone},
      {"make a folder that is there", platform.MakeFolder(subfolder), CopyError::kExists},
      {"make a folder in no folder", platform.MakeFolder(missing), CopyError::kFolderMissing},
  };
  for (const auto& a : answers) {
    Expect(a.error == a.expected, std::string(a.what) + ": " + Name(a.error));
  }
  Expect(!Exists(folder + L"ro.dat") && Read(file) == "file", "removed, and kept, as answered");

  const struct {
    const char* what;
    std::wstring path;
    PathType expected;
  } types[] = {
      {"a file", file, PathType::kFile},
      {"a read-only file", readOnly, PathType::kReadOnlyFile},
      {"a folder", subfolder, PathType::kFolder},
      {"nothing", folder + L"none.dat", PathType::kMissing},
      {"nothing in no folder", missing, PathType::kMissing},
      {"a wildcard", folder + L"*.dat", PathType::kUnknown},
      {"a name with NUL", nul, PathType::kUnknown},
  };
  for (const auto& t : types) {
    Expect(platform.TypeOf(t.path) == t.expected, std::string("the type of ") + t.what);
  }

  CreateDirectoryW((folder + L"Files.sub").c_str(), nullptr);
  Expect(
      platform.ListFiles(folder + L"F*", &names) && names == std::vector<std::wstring>{L"file.dat"},
      "only files are listed");
  Expect(platform.ListFiles(folder + L"Mangler\\*", &names) && names.empty(),
         "a missing folder lists no file");
  std::uint64_t free = 0;
  Expect(platform.FreeSpace(folder, &free) && free > 0, "free space is told");
  Expect(!platform.FreeSpace(folder + L"Mangler\\", &free), "no free space of no folder");
  std::printf("%d failed\n", failures);
  return failures;
}
