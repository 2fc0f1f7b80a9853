#include "fake_platform.h"

#include "platform/staged_names.h"

// The one-shot digest call and the low-level signature calls of libcrypto.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/obj_mac.h>
#include <openssl/sha.h>

#include <cstring>
#include <iterator>

namespace updater::testing {
namespace {

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring NameOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

class FakeInputFile final : public InputFile {
 public:
  explicit FakeInputFile(std::string content) : content_(std::move(content)) {}
  std::ptrdiff_t Read(char* buffer, std::size_t size) override {
    const std::size_t n = std::min(size, content_.size() - pos_);
    std::memcpy(buffer, content_.data() + pos_, n);
    pos_ += n;
    return static_cast<std::ptrdiff_t>(n);
  }

 private:
  std::string content_;
  std::size_t pos_ = 0;
};

}  // namespace

void FakePlatform::AddFolder(const std::wstring& path) {
  std::wstring folder = path;
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  while (!folder.empty()) {
    folders_.insert(folder);
    folder = FolderOf(folder);
  }
}

void FakePlatform::AddFile(const std::wstring& path, const std::string& content, bool hidden) {
  AddFolder(FolderOf(path));
  files_[path] = File{NameOf(path), content, hidden};
}

std::string FakePlatform::Content(const std::wstring& path) const {
  const auto file = files_.find(path);
  return file == files_.end() ? std::string("<no such file>") : file->second.content;
}

void FakePlatform::SetString(const std::string& key, const std::string& name,
                             const std::string& ansi, bool terminated) {
  registry_[key][name] =
      Value{kRegSz, terminated ? ansi + std::string(1, '\0') : ansi, std::nullopt};
}

void FakePlatform::SetDword(const std::string& key, const std::string& name, std::uint32_t value) {
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  registry_[key][name] = Value{kRegDword, data, std::nullopt};
}

unsigned long long FakePlatform::SleptMs() const {
  unsigned long long total = 0;
  for (unsigned ms : sleeps) total += ms;
  return total;
}

std::wstring FakePlatform::EnvironmentValue(const std::wstring& name) {
  const auto value = env_.find(name);
  return value == env_.end() ? std::wstring() : value->second;
}

FindResult FakePlatform::FindFileName(const std::wstring& path) {
  finds.push_back(path);
  if (onFind) onFind(static_cast<int>(finds.size()));
  FindResult result;
  if (failingFinds.count(path)) {
    result.ok = false;
    return result;
  }
  const std::wstring folder = FolderOf(path);
  const std::wstring pattern = NameOf(path);
  // The map is ordered by folded path, so the first match is the first in
  // name order, as an NTFS folder lists them.
  for (const auto& [filePath, file] : files_) {
    if (CompareFolded(FolderOf(filePath), folder) != 0 || file.hidden) continue;
    if (WildcardMatch(pattern, file.name)) {
      result.name = file.name;
      return result;
    }
  }
  return result;
}

FolderPlace FakePlatform::LocateFolder(const std::wstring& path) {
  FolderPlace place;
  place.path = path;
  std::wstring folder = path;
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  const auto alias = folderAliases.find(folder);
  if (alias != folderAliases.end()) folder = alias->second;
  const auto found = folders_.find(folder);
  if (found != folders_.end()) {
    place.identified = true;
    place.volume = 1;
    place.fileId = static_cast<std::uint64_t>(std::distance(folders_.begin(), found)) + 1;
  }
  return place;
}

std::unique_ptr<InputFile> FakePlatform::OpenFile(const std::wstring& path) {
  opened.push_back(path);
  const auto file = files_.find(path);
  if (file == files_.end()) return nullptr;
  return std::make_unique<FakeInputFile>(file->second.content);
}

Sha256 DigestOf(const std::string& bytes) {
  Sha256 digest;
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest.data());
  return digest;
}

bool FakePlatform::HashBytes(const std::string& bytes, Sha256* digest) {
  *digest = DigestOf(bytes);
  return true;
}

// The fake checks signatures with libcrypto itself, as the POSIX platform
// does through the library it loads.
SignatureCheck FakePlatform::VerifyP256(const P256Point& point, const Sha256& digest,
                                        const P256Signature& signature) {
  EC_KEY* key = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
  BIGNUM* x = BN_bin2bn(point.data(), 32, nullptr);
  BIGNUM* y = BN_bin2bn(point.data() + 32, 32, nullptr);
  const bool onCurve = EC_KEY_set_public_key_affine_coordinates(key, x, y) == 1;
  BN_free(x);
  BN_free(y);
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(signature.data(), 32, nullptr),
                 BN_bin2bn(signature.data() + 32, 32, nullptr));
  const bool valid =
      onCurve && ECDSA_do_verify(digest.data(), static_cast<int>(digest.size()), sig, key) == 1;
  ECDSA_SIG_free(sig);
  EC_KEY_free(key);
  if (!onCurve) return SignatureCheck::kBadKey;
  return valid ? SignatureCheck::kValid : SignatureCheck::kInvalid;
}

bool FakePlatform::HashFile(const std::wstring& path, Sha256* digest) {
  hashed.push_back(path);
  const auto file = files_.find(path);
  if (file == files_.end()) return false;
  *digest = DigestOf(file->second.content);
  return true;
}

CopyError FakePlatform::StageCopy(const std::wstring& source, const std::wstring& destination,
                                  const Sha256* expected, std::wstring* staged) {
  copies.push_back(destination);
  if (onCopy) onCopy(source);
  auto scripted = stageFailures.find(destination);
  if (scripted != stageFailures.end() && !scripted->second.empty()) {
    const CopyError error = scripted->second.front();
    scripted->second.pop_front();
    if (error != CopyError::kNone) return error;
  }
  const auto from = files_.find(source);
  if (from == files_.end()) return CopyError::kSourceMissing;
  const std::wstring folder = FolderOf(destination);
  if (!folders_.count(folder)) return CopyError::kFolderMissing;
  if (folders_.count(destination)) return CopyError::kAccessDenied;
  // What an earlier run left beside this destination goes first.
  const std::wstring name = NameOf(destination);
  for (auto file = files_.begin(); file != files_.end();) {
    const bool litter = CompareFolded(FolderOf(file->first), folder) == 0 &&
                        IsStagedNameOf(file->second.name, name);
    file = litter ? files_.erase(file) : std::next(file);
  }
  const auto step = [this](const wchar_t* what, const std::wstring& path) {
    return !copyStep || copyStep(what, path);
  };
  // The source is read once, a few bytes a write, into the staged file.
  constexpr std::size_t kWriteBytes = 4;
  const std::wstring temp = folder + L"\\" + StagedName(name, nextToken_++);
  const std::string content = from->second.content;
  bytesRead += content.size();
  files_[temp] = File{NameOf(temp), std::string(), false};
  const auto abandon = [this, &temp](CopyError error) {
    files_.erase(temp);
    return error;
  };
  for (std::size_t at = 0; at == 0 || at < content.size(); at += kWriteBytes) {
    if (!step(L"Write", temp)) return abandon(CopyError::kNoSpace);
    files_[temp].content += content.substr(at, kWriteBytes);
  }
  if (expected != nullptr && DigestOf(files_[temp].content) != *expected) {
    return abandon(CopyError::kChanged);
  }
  if (!step(L"Flush", temp)) return abandon(CopyError::kOther);
  *staged = temp;
  return CopyError::kNone;
}

CopyError FakePlatform::ReplaceWithStaged(const std::wstring& staged,
                                          const std::wstring& destination) {
  auto scripted = replaceFailures.find(destination);
  if (scripted != replaceFailures.end() && !scripted->second.empty()) {
    const CopyError error = scripted->second.front();
    scripted->second.pop_front();
    if (error != CopyError::kNone) return error;
  }
  const auto temp = files_.find(staged);
  if (temp == files_.end()) return CopyError::kOther;
  if (copyStep && !copyStep(L"Rename", destination)) return CopyError::kInUse;
  const std::string content = temp->second.content;
  files_.erase(temp);
  auto to = files_.find(destination);
  if (to != files_.end()) {
    to->second.content = content;  // keeps its on-disk name
  } else {
    files_[destination] = File{NameOf(destination), content, false};
  }
  return CopyError::kNone;
}

std::int32_t FakePlatform::RegOpenKeyExA(RegistryKey root, const std::string& subKey, std::uint32_t,
                                         std::uint32_t access, RegistryKey* key) {
  lastAccessMask = access;
  if (root != kHkeyCurrentUser || !registry_.count(subKey)) return kErrorFileNotFound;
  // KEY_SET_VALUE, KEY_CREATE_SUB_KEY, KEY_CREATE_LINK, DELETE, WRITE_DAC,
  // WRITE_OWNER.
  constexpr std::uint32_t kChangeRights = 0x2 | 0x4 | 0x20 | 0x10000 | 0x40000 | 0x80000;
  if ((access & kChangeRights) != 0 && readOnlyKeys.count(subKey)) return kErrorAccessDenied;
  *key = nextHandle_++;
  handles_[*key] = subKey;
  ++openKeys;
  return kErrorSuccess;
}

std::int32_t FakePlatform::RegQueryValueExA(RegistryKey key, const std::string& name,
                                            std::uint32_t* type, unsigned char* data,
                                            std::uint32_t* size) {
  const auto handle = handles_.find(key);
  if (handle == handles_.end()) return kErrorInvalidHandle;
  const auto& values = registry_[handle->second];
  const auto value = values.find(name);
  if (value == values.end()) return kErrorFileNotFound;
  if (type) *type = value->second.type;
  const auto needed = static_cast<std::uint32_t>(value->second.data.size());
  if (data) {
    const auto failing = failingDataReads.find(name);
    if (failing != failingDataReads.end()) return failing->second;
    if (*size < needed) {
      *size = needed;
      return kErrorMoreData;
    }
    std::memcpy(data, value->second.data.data(), needed);
  }
  *size = needed;
  return kErrorSuccess;
}

PathKind FakePlatform::QueryPath(const std::wstring& path) {
  std::wstring plain = path;
  while (!plain.empty() && plain.back() == L'\\') plain.pop_back();
  const auto file = files_.find(plain);
  if (file != files_.end())
    return file->second.hidden ? PathKind::kHiddenFile : PathKind::kPlainFile;
  return folders_.count(plain) ? PathKind::kFolder : PathKind::kNothing;
}

CopyError FakePlatform::ProbeDestination(const std::wstring& destination) {
  for (const auto* failures : {&stageFailures, &replaceFailures}) {
    const auto failing = failures->find(destination);
    if (failing != failures->end() && !failing->second.empty()) return failing->second.front();
  }
  const std::size_t slash = destination.rfind(L'\\');
  if (slash != std::wstring::npos && !folders_.count(destination.substr(0, slash))) {
    return CopyError::kFolderMissing;
  }
  return folders_.count(destination) ? CopyError::kAccessDenied : CopyError::kNone;
}

std::int32_t FakePlatform::RegQueryTextW(RegistryKey key, const std::wstring& name,
                                         std::wstring* text) {
  const auto handle = handles_.find(key);
  if (handle == handles_.end()) return kErrorInvalidHandle;
  const auto& values = registry_[handle->second];
  const auto value = values.find(EncodeWindows1252(name));
  if (value == values.end()) return kErrorFileNotFound;
  if (value->second.type != kRegSz) return kErrorUnsupportedType;
  if (value->second.text) {
    *text = *value->second.text;
  } else {
    const std::string& data = value->second.data;
    *text = DecodeWindows1252(data.substr(0, data.find('\0')));
  }
  return kErrorSuccess;
}

std::int32_t FakePlatform::RegCloseKey(RegistryKey key) {
  if (handles_.erase(key) == 0) return kErrorInvalidHandle;
  --openKeys;
  return kErrorSuccess;
}

int FakePlatform::ShowMessage(const std::wstring& prompt, unsigned flags,
                              const std::wstring& title) {
  boxes.push_back(Box{prompt, flags, title});
  if (!answers.empty()) {
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }
  return (flags & 0x0F) == kMbYesNo ? kIdYes : kIdOk;
}

void FakePlatform::Sleep(unsigned milliseconds) {
  sleeps.push_back(milliseconds);
  if (onSleep) onSleep(static_cast<int>(sleeps.size()));
}

void FakePlatform::EndProgram() {
  ended = true;
  throw ProgramEnded{};
}

bool EndsProgram(FakePlatform& platform, const std::function<void()>& body) {
  try {
    body();
  } catch (const ProgramEnded&) {
    return platform.ended;
  }
  return false;
}

}  // namespace updater::testing
