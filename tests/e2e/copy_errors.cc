// The Windows copy's answers on a real (Wine's) file system, for the
// end-to-end suite: each way a copy can fail gives its reason, a read-only
// source installs as an ordinary file, only the updater's own staged files
// are removed, and a busy destination costs a rename, not a copy.
//
//   copy_errors FOLDER
//
// FOLDER must exist and be empty. Prints one line per check that fails and
// ends with the number of them (0: all held).
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "platform/staged_names.h"
#include "platform/text.h"
#include "update/copy.h"

namespace {

using updater::CopyError;

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

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

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
      {"a folder in the way", source, folder + L"Folder.dat", CopyError::kAccessDenied},
      {"read-only destination", source, folder + L"ro.dat", CopyError::kAccessDenied},
  };
  CreateDirectoryW((folder + L"Folder.dat").c_str(), nullptr);
  Write(folder + L"ro.dat", "old");
  SetFileAttributesW((folder + L"ro.dat").c_str(), FILE_ATTRIBUTE_READONLY);
  for (const auto& c : cases) {
    const CopyError error = copy(c.from, c.to);
    Expect(error == c.expected, std::string(c.what) + ": " + Name(error));
  }

  // A read-only source installs as an ordinary file, which the next copy
  // replaces.
  const std::wstring readOnly = folder + L"readonly.dat";
  Write(readOnly, "read-only payload");
  SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
  const std::wstring installed = folder + L"installed.dat";
  Expect(copy(readOnly, installed) == CopyError::kNone, "a read-only source is copied");
  const DWORD attributes = GetFileAttributesW(installed.c_str());
  Expect(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) == 0,
         "the copy of a read-only source is not read-only");
  Expect(copy(source, installed) == CopyError::kNone, "the next copy replaces it");

  // Only the updater's own staged files of this destination are removed.
  const std::wstring litter = folder + updater::StagedName(L"installed.dat", 0xabcd);
  const std::wstring other = folder + updater::StagedName(L"other.dat", 0xabcd);
  const std::wstring product = folder + L"installed.dat.keep.updater-tmp";
  for (const std::wstring& path : {litter, other, product}) Write(path, "left");
  Expect(copy(source, installed) == CopyError::kNone, "a copy beside litter");
  Expect(!Exists(litter), "the staged file an earlier run left is removed");
  Expect(Exists(other) && Exists(product), "no other file is removed");

  // A destination a program holds: the staged copy waits for the rename.
  std::wstring staged;
  Expect(platform.StageCopy(source, installed, nullptr, &staged) == CopyError::kNone, "staged");
  const HANDLE held = CreateFileW(installed.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const CopyError busy = platform.ReplaceWithStaged(staged, installed);
  Expect(busy == CopyError::kInUse, "a held destination is busy: " + Name(busy));
  Expect(Exists(staged), "the staged file waits");
  CloseHandle(held);
  Expect(platform.ReplaceWithStaged(staged, installed) == CopyError::kNone,
         "renamed once the destination is free");
  Expect(!Exists(staged), "no staged file left");
  std::printf("%d failed\n", failures);
  return failures;
}
