// A pass-through platform that makes one chosen call fail: every operation
// that can fail on a real system is counted, and the N-th returns the error
// a real system would give for it instead of reaching the platform behind.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace updater::testing {

class FaultyPlatform : public Platform {
 public:
  // Fails call number `failAt` (counted from 1); 0 fails nothing.
  FaultyPlatform(Platform& inner, int failAt) : inner_(inner), failAt_(failAt) {}

  int calls() const { return calls_; }
  // What the failed call was ("CopyFile C:\...", "Read C:\...\OrvakBK.ini"),
  // empty while nothing failed.
  const std::wstring& failed() const { return failed_; }

  std::wstring EnvironmentValue(const std::wstring& name) override {
    if (Fail(L"EnvironmentValue", name)) return std::wstring();
    return inner_.EnvironmentValue(name);
  }
  FindResult FindFileName(const std::wstring& path) override {
    if (Fail(L"FindFileName", path)) return FindResult{false, std::wstring()};
    return inner_.FindFileName(path);
  }
  FolderPlace LocateFolder(const std::wstring& path) override {
    if (Fail(L"LocateFolder", path)) return FolderPlace{path, false, 0, 0};
    return inner_.LocateFolder(path);
  }
  std::unique_ptr<InputFile> OpenFile(const std::wstring& path) override;
  CopyError CopyFile(const std::wstring& source, const std::wstring& destination,
                     const Sha256* expected) override {
    if (Fail(L"CopyFile", destination)) return CopyError::kAccessDenied;
    return inner_.CopyFile(source, destination, expected);
  }
  bool HashFile(const std::wstring& path, Sha256* digest) override {
    if (Fail(L"HashFile", path)) return false;
    return inner_.HashFile(path, digest);
  }
  std::int32_t RegOpenKeyExA(RegistryKey root, const std::string& subKey, std::uint32_t options,
                             std::uint32_t access, RegistryKey* key) override {
    if (Fail(L"RegOpenKeyExA", inner_.AnsiToText(subKey))) return kErrorAccessDenied;
    return inner_.RegOpenKeyExA(root, subKey, options, access, key);
  }
  std::int32_t RegQueryValueExA(RegistryKey key, const std::string& name, std::uint32_t* type,
                                unsigned char* data, std::uint32_t* size) override {
    if (Fail(L"RegQueryValueExA", inner_.AnsiToText(name))) return kErrorAccessDenied;
    return inner_.RegQueryValueExA(key, name, type, data, size);
  }
  std::int32_t RegQueryTextW(RegistryKey key, const std::wstring& name,
                             std::wstring* text) override {
    if (Fail(L"RegQueryTextW", name)) return kErrorAccessDenied;
    return inner_.RegQueryTextW(key, name, text);
  }
  std::int32_t RegCloseKey(RegistryKey key) override {
    if (Fail(L"RegCloseKey", L"")) return kErrorInvalidHandle;
    return inner_.RegCloseKey(key);
  }
  int ShowMessage(const std::wstring& prompt, unsigned flags, const std::wstring& title) override {
    if (Fail(L"ShowMessage", prompt)) return 0;
    return inner_.ShowMessage(prompt, flags, title);
  }
  bool ClaimSingleInstance(const std::wstring& productId) override {
    // A claim that cannot be checked counts as made.
    if (Fail(L"ClaimSingleInstance", productId)) return true;
    return inner_.ClaimSingleInstance(productId);
  }

  // These cannot fail: they pass through uncounted.
  void Sleep(unsigned milliseconds) override { inner_.Sleep(milliseconds); }
  [[noreturn]] void EndProgram() override {
    inner_.EndProgram();
    std::abort();  // not reached: the platform behind ends the program
  }
  std::wstring AnsiToText(const std::string& bytes) override { return inner_.AnsiToText(bytes); }
  std::string TextToAnsi(const std::wstring& text) override { return inner_.TextToAnsi(text); }
  int CompareText(const std::wstring& a, const std::wstring& b) override {
    return inner_.CompareText(a, b);
  }
  int CompareNames(const std::wstring& a, const std::wstring& b) override {
    return inner_.CompareNames(a, b);
  }
  std::wstring DecimalSeparator() override { return inner_.DecimalSeparator(); }
  bool IsAbsolutePath(const std::wstring& path) override { return inner_.IsAbsolutePath(path); }
  ClaimState QueryClaim(const std::wstring& productId) override {
    return inner_.QueryClaim(productId);
  }
  PathKind QueryPath(const std::wstring& path) override { return inner_.QueryPath(path); }
  CopyError ProbeDestination(const std::wstring& destination) override {
    return inner_.ProbeDestination(destination);
  }

  // Counts one call; true when it is the one to fail.
  bool Fail(const wchar_t* operation, const std::wstring& what) {
    if (++calls_ != failAt_) return false;
    failed_ = std::wstring(operation) + L" " + what;
    return true;
  }

 private:
  Platform& inner_;
  int failAt_;
  int calls_ = 0;
  std::wstring failed_;
};

// Reads pass through the same count as the calls that opened the file.
class FaultyInputFile : public InputFile {
 public:
  FaultyInputFile(std::unique_ptr<InputFile> inner, FaultyPlatform& platform, std::wstring path)
      : inner_(std::move(inner)), platform_(platform), path_(std::move(path)) {}
  std::ptrdiff_t Read(char* buffer, std::size_t size) override {
    if (platform_.Fail(L"Read", path_)) return -1;
    return inner_->Read(buffer, size);
  }

 private:
  std::unique_ptr<InputFile> inner_;
  FaultyPlatform& platform_;
  std::wstring path_;
};

inline std::unique_ptr<InputFile> FaultyPlatform::OpenFile(const std::wstring& path) {
  if (Fail(L"OpenFile", path)) return nullptr;
  std::unique_ptr<InputFile> file = inner_.OpenFile(path);
  if (!file) return nullptr;
  return std::make_unique<FaultyInputFile>(std::move(file), *this, path);
}

}  // namespace updater::testing
