// A pass-through platform that makes one chosen call fail: every operation
// that can fail on a real system is counted, and the N-th returns the error
// a real system would give for it instead of reaching the platform behind.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace updater::testing {

class FaultyPlatform : public PlatformWrapper {
 public:
  // Fails call number `failAt` (counted from 1); 0 fails nothing.
  FaultyPlatform(Platform& inner, int failAt) : PlatformWrapper(inner), failAt_(failAt) {}

  int calls() const { return calls_; }
  // What the failed call was ("CopyFile C:\...", "Read C:\...\OrvakBK.ini"),
  // empty while nothing failed.
  const std::wstring& failed() const { return failed_; }

  // Every operation that can fail on a real system is counted; the others
  // pass through uncounted.
  std::wstring EnvironmentValue(const std::wstring& name) override {
    if (Fail(L"EnvironmentValue", name)) return std::wstring();
    return PlatformWrapper::EnvironmentValue(name);
  }
  FindResult FindFileName(const std::wstring& path) override {
    if (Fail(L"FindFileName", path)) return FindResult{false, std::wstring()};
    return PlatformWrapper::FindFileName(path);
  }
  FolderPlace LocateFolder(const std::wstring& path) override {
    if (Fail(L"LocateFolder", path)) return FolderPlace{path, false, 0, 0};
    return PlatformWrapper::LocateFolder(path);
  }
  std::unique_ptr<InputFile> OpenFile(const std::wstring& path) override;
  CopyError CreateNewFile(const std::wstring& path, const std::wstring& like,
                          std::unique_ptr<OutputFile>* file) override {
    if (Fail(L"CreateNewFile", path)) return CopyError::kAccessDenied;
    return PlatformWrapper::CreateNewFile(path, like, file);
  }
  CopyError RenameFile(const std::wstring& from, const std::wstring& to, bool replace) override {
    if (Fail(L"RenameFile", to)) return CopyError::kAccessDenied;
    return PlatformWrapper::RenameFile(from, to, replace);
  }
  CopyError SyncFolder(const std::wstring& path) override {
    if (Fail(L"SyncFolder", path)) return CopyError::kOther;
    return PlatformWrapper::SyncFolder(path);
  }
  CopyError RemoveFile(const std::wstring& path) override {
    if (Fail(L"RemoveFile", path)) return CopyError::kAccessDenied;
    return PlatformWrapper::RemoveFile(path);
  }
  CopyError MakeFolder(const std::wstring& path) override {
    if (Fail(L"MakeFolder", path)) return CopyError::kAccessDenied;
    return PlatformWrapper::MakeFolder(path);
  }
  CopyError RemoveFolder(const std::wstring& path) override {
    if (Fail(L"RemoveFolder", path)) return CopyError::kAccessDenied;
    return PlatformWrapper::RemoveFolder(path);
  }
  bool FreeSpace(const std::wstring& path, std::uint64_t* bytes) override {
    if (Fail(L"FreeSpace", path)) return false;
    return PlatformWrapper::FreeSpace(path, bytes);
  }
  PathType TypeOf(const std::wstring& path) override {
    if (Fail(L"TypeOf", path)) return PathType::kUnknown;
    return PlatformWrapper::TypeOf(path);
  }
  bool ListFiles(const std::wstring& pattern, std::vector<std::wstring>* names) override {
    if (Fail(L"ListFiles", pattern)) return false;
    return PlatformWrapper::ListFiles(pattern, names);
  }
  std::unique_ptr<Sha256Stream> StartSha256() override {
    if (Fail(L"StartSha256", L"")) return nullptr;
    return PlatformWrapper::StartSha256();
  }
  bool HashFile(const std::wstring& path, Sha256* digest) override {
    if (Fail(L"HashFile", path)) return false;
    return PlatformWrapper::HashFile(path, digest);
  }
  bool HashBytes(const std::string& bytes, Sha256* digest) override {
    if (Fail(L"HashBytes", L"")) return false;
    return PlatformWrapper::HashBytes(bytes, digest);
  }
  SignatureCheck VerifyP256(const P256Point& point, const Sha256& digest,
                            const P256Signature& signature) override {
    if (Fail(L"VerifyP256", L"")) return SignatureCheck::kUnavailable;
    return PlatformWrapper::VerifyP256(point, digest, signature);
  }
  std::int32_t RegOpenKeyExA(RegistryKey root, const std::string& subKey, std::uint32_t options,
                             std::uint32_t access, RegistryKey* key) override {
    if (Fail(L"RegOpenKeyExA", AnsiToText(subKey))) return kErrorAccessDenied;
    return PlatformWrapper::RegOpenKeyExA(root, subKey, options, access, key);
  }
  std::int32_t RegQueryValueExA(RegistryKey key, const std::string& name, std::uint32_t* type,
                                unsigned char* data, std::uint32_t* size) override {
    if (Fail(L"RegQueryValueExA", AnsiToText(name))) return kErrorAccessDenied;
    return PlatformWrapper::RegQueryValueExA(key, name, type, data, size);
  }
  std::int32_t RegQueryTextW(RegistryKey key, const std::wstring& name,
                             std::wstring* text) override {
    if (Fail(L"RegQueryTextW", name)) return kErrorAccessDenied;
    return PlatformWrapper::RegQueryTextW(key, name, text);
  }
  std::int32_t RegCloseKey(RegistryKey key) override {
    if (Fail(L"RegCloseKey", L"")) return kErrorInvalidHandle;
    return PlatformWrapper::RegCloseKey(key);
  }
  int ShowMessage(const std::wstring& prompt, unsigned flags, const std::wstring& title) override {
    ++shown_;
    if (Fail(L"ShowMessage", prompt)) return 0;
    return PlatformWrapper::ShowMessage(prompt, flags, title);
  }
  bool ClaimSingleInstance(const std::wstring& productId) override {
    // A claim that cannot be checked counts as made.
    if (Fail(L"ClaimSingleInstance", productId)) return true;
    return PlatformWrapper::ClaimSingleInstance(productId);
  }

  // How many boxes had been asked for when the call failed.
  int shownAtFailure() const { return shownAtFailure_; }

  // Counts one call; true when it is the one to fail.
  bool Fail(const wchar_t* operation, const std::wstring& what) {
    if (++calls_ != failAt_) return false;
    failed_ = std::wstring(operation) + L" " + what;
    shownAtFailure_ = shown_;
    return true;
  }

 private:
  int failAt_;
  int calls_ = 0;
  int shown_ = 0;
  int shownAtFailure_ = 0;
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
  bool Stamp(FileStamp* stamp) override {
    if (platform_.Fail(L"Stamp", path_)) return false;
    return inner_->Stamp(stamp);
  }

 private:
  std::unique_ptr<InputFile> inner_;
  FaultyPlatform& platform_;
  std::wstring path_;
};

inline std::unique_ptr<InputFile> FaultyPlatform::OpenFile(const std::wstring& path) {
  if (Fail(L"OpenFile", path)) return nullptr;
  std::unique_ptr<InputFile> file = PlatformWrapper::OpenFile(path);
  if (!file) return nullptr;
  return std::make_unique<FaultyInputFile>(std::move(file), *this, path);
}

}  // namespace updater::testing
