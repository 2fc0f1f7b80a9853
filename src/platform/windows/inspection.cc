// The tool's looks on Windows (Inspection): whether the claim is held, what a
// path names, and whether a copy could replace a destination, all without
// changing or holding anything.
#include "platform/inspection.h"

#include <windows.h>

#include <cstddef>
#include <string>

#include "platform/platform.h"
#include "platform/windows/claim.h"
#include "platform/windows/files.h"
#include "platform/windows/handles.h"
#include "platform/windows/paths.h"

namespace updater {
namespace {

using win::ClaimName;
using win::CopyErrorFrom;
using win::FileHandle;
using win::FilePath;
using win::HasInvalidNameCharacter;
using win::HasNul;
using win::IsNotFound;

class WindowsInspection final : public Inspection {
 public:
  ClaimState QueryClaim(const std::wstring& productId) override {
    // Opening, unlike creating, makes no mutex where there is none, and
    // asking its state takes nothing: an updater that starts meanwhile still
    // gets its claim.
    const HANDLE mutex =
        OpenMutexW(SYNCHRONIZE | kMutantQueryState, FALSE, ClaimName(productId).c_str());
    if (mutex == nullptr) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND) return ClaimState::kFree;
      return error == ERROR_ACCESS_DENIED ? ClaimState::kHeld : ClaimState::kUnknown;
    }
    ClaimState state = ClaimState::kUnknown;
    MutantBasicInformation info{};
    ULONG length = 0;
    const auto query = reinterpret_cast<NtQueryMutantFunction*>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryMutant")));
    if (query != nullptr && query(mutex, 0, &info, sizeof info, &length) >= 0) {
      // 1: free (also when its last holder ended without letting go);
      // 0 or less: held.
      state = info.currentCount > 0 ? ClaimState::kFree : ClaimState::kHeld;
    }
    CloseHandle(mutex);
    return state;
  }

  PathKind QueryPath(const std::wstring& path) override {
    if (HasNul(path) || HasInvalidNameCharacter(path) ||
        path.find_first_of(L"*?") != std::wstring::npos) {
      return PathKind::kUnknown;
    }
    const DWORD attributes = GetFileAttributesW(FilePath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return IsNotFound(GetLastError()) ? PathKind::kNothing : PathKind::kUnknown;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::kFolder;
    if (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) return PathKind::kHiddenFile;
    return PathKind::kPlainFile;
  }

  CopyError ProbeDestination(const std::wstring& destination) override {
    if (HasNul(destination) || HasInvalidNameCharacter(destination)) {
      return CopyError::kInvalidName;
    }
    const std::size_t slash = destination.find_last_of(L"\\/");
    if (slash != std::wstring::npos) {
      const DWORD folder = GetFileAttributesW(FilePath(destination.substr(0, slash + 1)).c_str());
      if (folder == INVALID_FILE_ATTRIBUTES) {
        return IsNotFound(GetLastError()) ? CopyError::kFolderMissing : CopyError::kOther;
      }
      if ((folder & FILE_ATTRIBUTE_DIRECTORY) == 0) return CopyError::kFolderMissing;
    }
    const std::wstring to = FilePath(destination);
    const DWORD attributes = GetFileAttributesW(to.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return IsNotFound(GetLastError()) ? CopyError::kNone : CopyError::kOther;
    }
    if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) {
      return CopyError::kAccessDenied;
    }
    // The copy renames over the file, which a program that holds it open
    // without letting it be deleted prevents. Asking for delete access while
    // sharing everything tells that and deletes nothing. For the instant the
    // handle is open, a program that opens the file without sharing delete
    // access would be refused; the handle is closed at once.
    FileHandle probe(CreateFileW(to.c_str(), DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (probe.valid()) return CopyError::kNone;
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return CopyError::kInUse;
    return error == ERROR_ACCESS_DENIED ? CopyError::kAccessDenied : CopyErrorFrom(error);
  }

  OpenState QueryOpen(const std::wstring& path) override {
    if (HasNul(path) || HasInvalidNameCharacter(path)) return OpenState::kUnknown;
    // As in ProbeDestination: delete access while sharing everything is
    // refused while a program holds the file without letting it be deleted,
    // as a running program holds its own files; nothing is deleted.
    FileHandle probe(CreateFileW(FilePath(path).c_str(), DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (probe.valid()) return OpenState::kClosed;
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return OpenState::kOpen;
    return OpenState::kUnknown;
  }

 private:
  // What ntdll's NtQueryMutant tells of a mutex (MutantBasicInformation).
  struct MutantBasicInformation {
    LONG currentCount;
    BOOLEAN ownedByCaller;
    BOOLEAN abandoned;
  };
  using NtQueryMutantFunction = LONG NTAPI(HANDLE, int, void*, ULONG, ULONG*);
  // The right to ask a mutex's state (MUTANT_QUERY_STATE).
  static constexpr DWORD kMutantQueryState = 0x0001;
};

}  // namespace

Inspection& SystemInspection() {
  static WindowsInspection inspection;
  return inspection;
}

}  // namespace updater
