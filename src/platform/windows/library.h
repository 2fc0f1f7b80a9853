// Libraries of the system loaded on first use from the system folder only,
// and the SHA-256 hash that CNG (bcrypt) computes through one of them.
// Private to the Windows files.
#pragma once

#include <windows.h>
// After <windows.h>, which it needs.
#include <bcrypt.h>

#include "platform/platform.h"

namespace updater::win {

// A library of the system loaded on first use, and never from anywhere but
// the system folder: a DLL of the same name planted beside the program or in
// the current folder is never the one loaded.
class SystemLibrary {
 public:
  explicit SystemLibrary(const wchar_t* name) : name_(name) {}
  SystemLibrary(const SystemLibrary&) = delete;
  SystemLibrary& operator=(const SystemLibrary&) = delete;

  // The function `name` of the library, of the type `Function` (the type of
  // the declaration in <windows.h>, named by decltype, which makes no
  // import); null when the library or the function cannot be had (error()
  // then tells why).
  template <typename Function>
  Function* Get(const char* name) {
    if (!Load()) return nullptr;
    const FARPROC function = GetProcAddress(module_, name);
    if (function == nullptr) {
      error_ = GetLastError();
      return nullptr;
    }
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(function));
  }

  // Why the last Get gave null, as a Windows error code.
  DWORD error() const { return error_ != ERROR_SUCCESS ? error_ : ERROR_MOD_NOT_FOUND; }

 private:
  bool Load();

  const wchar_t* name_;
  HMODULE module_ = nullptr;
  bool tried_ = false;
  DWORD error_ = ERROR_SUCCESS;
};

// The system libraries the other Windows files call into, each loaded the
// first time it is needed: user32 for message boxes, advapi32 for the
// registry.
SystemLibrary& User32();
SystemLibrary& Advapi32();
// bcrypt (CNG), for digests and signatures, only when an update has a
// checksum file.
SystemLibrary& Bcrypt();

// A SHA-256 hash under way in CNG; ok() is false when CNG cannot be had.
class Sha256Hash {
 public:
  Sha256Hash();
  Sha256Hash(const Sha256Hash&) = delete;
  Sha256Hash& operator=(const Sha256Hash&) = delete;
  ~Sha256Hash();

  bool ok() const { return hash_ != nullptr; }
  bool Add(const unsigned char* bytes, ULONG size);
  bool Finish(Sha256* digest);

 private:
  decltype(::BCryptHashData)* hashData_ = nullptr;
  decltype(::BCryptFinishHash)* finishHash_ = nullptr;
  decltype(::BCryptDestroyHash)* destroyHash_ = nullptr;
  decltype(::BCryptCloseAlgorithmProvider)* closeAlgorithm_ = nullptr;
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
};

}  // namespace updater::win
