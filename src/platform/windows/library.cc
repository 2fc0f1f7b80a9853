// Loading a system library on first use from the system folder, the three
// libraries the updater loads so, and SHA-256 through CNG.
#include "platform/windows/library.h"

#include <string>

namespace updater::win {

bool SystemLibrary::Load() {
  if (module_ != nullptr) return true;
  if (tried_) return false;
  tried_ = true;
  wchar_t folder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    error_ = length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW;
    return false;
  }
  const std::wstring path = std::wstring(folder, length) + L"\\" + name_;
  // The libraries it needs come from the system folder too; a Windows
  // without that flag (7 before its 2011 update) loads them from the known
  // system libraries, as any program's imports.
  module_ = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module_ == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
    module_ = LoadLibraryW(path.c_str());
  }
  if (module_ == nullptr) error_ = GetLastError();
  return module_ != nullptr;
}

// The product starts the updater at every launch, and nearly always there is
// nothing to do: such a start loads kernel32 (and the C runtime) alone.
// user32 is loaded for the first box, advapi32 for the first registry call,
// bcrypt for the first digest.
SystemLibrary& User32() {
  static SystemLibrary library(L"user32.dll");
  return library;
}

SystemLibrary& Advapi32() {
  static SystemLibrary library(L"advapi32.dll");
  return library;
}

SystemLibrary& Bcrypt() {
  static SystemLibrary library(L"bcrypt.dll");
  return library;
}

Sha256Hash::Sha256Hash() {
  SystemLibrary& cng = Bcrypt();
  const auto openAlgorithm =
      cng.Get<decltype(::BCryptOpenAlgorithmProvider)>("BCryptOpenAlgorithmProvider");
  const auto createHash = cng.Get<decltype(::BCryptCreateHash)>("BCryptCreateHash");
  hashData_ = cng.Get<decltype(::BCryptHashData)>("BCryptHashData");
  finishHash_ = cng.Get<decltype(::BCryptFinishHash)>("BCryptFinishHash");
  destroyHash_ = cng.Get<decltype(::BCryptDestroyHash)>("BCryptDestroyHash");
  closeAlgorithm_ =
      cng.Get<decltype(::BCryptCloseAlgorithmProvider)>("BCryptCloseAlgorithmProvider");
  if (openAlgorithm == nullptr || createHash == nullptr || hashData_ == nullptr ||
      finishHash_ == nullptr || destroyHash_ == nullptr || closeAlgorithm_ == nullptr) {
    return;
  }
  if (!BCRYPT_SUCCESS(openAlgorithm(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    algorithm_ = nullptr;
    return;
  }
  // CNG keeps the hash object itself (Windows 7 and later).
  if (!BCRYPT_SUCCESS(createHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0))) hash_ = nullptr;
}

Sha256Hash::~Sha256Hash() {
  if (hash_ != nullptr) destroyHash_(hash_);
  if (algorithm_ != nullptr) closeAlgorithm_(algorithm_, 0);
}

bool Sha256Hash::Add(const unsigned char* bytes, ULONG size) {
  return BCRYPT_SUCCESS(hashData_(hash_, const_cast<PUCHAR>(bytes), size, 0));
}

bool Sha256Hash::Finish(Sha256* digest) {
  return BCRYPT_SUCCESS(finishHash_(hash_, digest->data(), static_cast<ULONG>(digest->size()), 0));
}

}  // namespace updater::win
