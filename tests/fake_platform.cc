#include "fake_platform.h"

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
  FakeInputFile(std::string content, std::size_t* bytesRead)
      : content_(std::move(content)), bytesRead_(bytesRead) {}
  std::ptrdiff_t Read(char* buffer, std::size_t size) override {
    const std::size_t n = std::min(size, content_.size() - pos_);
    std::memcpy(buffer, content_.data() + pos_, n);
    pos_ += n;
    *bytesRead_ += n;
    return static_cast<std::ptrdiff_t>(n);
  }
  bool Stamp(FileStamp* stamp) override {
    stamp->size = content_.size();
    return true;
  }

 private:
  std::string content_;
  std::size_t pos_ = 0;
  std::size_t* bytesRead_;
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
  if (onOpen) onOpen(path);
  const auto file = files_.find(path);
  if (file == files_.end()) return nullptr;
  return std::make_unique<FakeInputFile>(file->second.content, &bytesRead);
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

// A staged file being written: a few bytes a step, so that a failure or a
// kill can come between any two pieces.
class FakeOutputFile final : public OutputFile {
 public:
  FakeOutputFile(FakePlatform& platform, std::wstring path)
      : platform_(platform), path_(std::move(path)) {}
  CopyError Write(const char* bytes, std::size_t size) override {
    constexpr std::size_t kWriteBytes = 4;
    for (std::size_t at = 0; at < size; at += kWriteBytes) {
      if (!platform_.Step(L"Write", path_)) return CopyError::kNoSpace;
      const auto file = platform_.files_.find(path_);
      if (file == platform_.files_.end()) return CopyError::kOther;
      file->second.content.append(bytes + at, std::min(kWriteBytes, size - at));
    }
    return CopyError::kNone;
  }
  CopyError SetModified(std::int64_t) override { return CopyError::kNone; }
  CopyError Flush() override {
    return platform_.Step(L"Flush", path_) ? CopyError::kNone : CopyError::kOther;
  }
  CopyError Close() override {
    return platform_.Step(L"Close", path_) ? CopyError::kNone : CopyError::kOther;
  }

 private:
  FakePlatform& platform_;
  std::wstring path_;
};

namespace {

class FakeSha256 final : public Sha256Stream {
 public:
  FakeSha256() { SHA256_Init(&context_); }
  void Add(const char* bytes, std::size_t size) override { SHA256_Update(&context_, bytes, size); }
  bool Finish(Sha256* digest) override { return SHA256_Final(digest->data(), &context_) == 1; }

 private:
  SHA256_CTX context_;
};

}  // namespace

CopyError FakePlatform::Scripted(std::map<std::wstring, std::deque<CopyError>, FoldLess>& failures,
                                 const std::wstring& path) {
  const auto scripted = failures.find(path);
  if (scripted == failures.end() || scripted->second.empty()) return CopyError::kNone;
  const CopyError error = scripted->second.front();
  scripted->second.pop_front();
  return error;
}

CopyError FakePlatform::CreateNewFile(const std::wstring& path, const std::wstring& like,
                                      std::unique_ptr<OutputFile>* file) {
  copies.push_back(like);
  const CopyError scripted = Scripted(stageFailures, like);
  if (scripted != CopyError::kNone) return scripted;
  if (!Step(L"Create", path)) return CopyError::kAccessDenied;
  if (!folders_.count(FolderOf(path))) return CopyError::kFolderMissing;
  if (files_.count(path) || folders_.count(path)) return CopyError::kExists;
  files_[path] = File{NameOf(path), std::string(), false};
  *file = std::make_unique<FakeOutputFile>(*this, path);
  return CopyError::kNone;
}

CopyError FakePlatform::RenameFile(const std::wstring& from, const std::wstring& to, bool replace) {
  CopyError scripted = Scripted(replaceFailures, to);
  if (scripted == CopyError::kNone) scripted = Scripted(replaceFailures, from);
  if (scripted != CopyError::kNone) return scripted;
  if (!Step(L"Rename", to)) return CopyError::kInUse;
  const auto source = files_.find(from);
  if (source == files_.end()) {
    return folders_.count(from) ? CopyError::kFolderInPlace : CopyError::kSourceMissing;
  }
  if (!folders_.count(FolderOf(to))) return CopyError::kFolderMissing;
  if (folders_.count(to)) return CopyError::kFolderInPlace;
  auto target = files_.find(to);
  if (target != files_.end() && !replace) return CopyError::kExists;
  File moved = source->second;
  files_.erase(source);
  target = files_.find(to);
  if (target != files_.end()) {
    target->second.content = moved.content;  // keeps its on-disk name
    target->second.hidden = moved.hidden;
  } else {
    files_[to] = File{NameOf(to), moved.content, moved.hidden};
  }
  readOnly.erase(to);
  return CopyError::kNone;
}

CopyError FakePlatform::RemoveFile(const std::wstring& path) {
  if (!files_.count(path)) return CopyError::kNone;
  if (!Step(L"Remove", path)) return CopyError::kAccessDenied;
  files_.erase(path);
  readOnly.erase(path);
  return CopyError::kNone;
}

CopyError FakePlatform::MakeFolder(const std::wstring& path) {
  if (!Step(L"MakeFolder", path)) return CopyError::kAccessDenied;
  if (!folders_.count(FolderOf(path))) return CopyError::kFolderMissing;
  if (files_.count(path) || folders_.count(path)) return CopyError::kExists;
  folders_.insert(path);
  return CopyError::kNone;
}

CopyError FakePlatform::RemoveFolder(const std::wstring& path) {
  if (!folders_.count(path)) return CopyError::kFolderMissing;
  const auto inside = [&path](const std::wstring& other) {
    return CompareFolded(FolderOf(other), path) == 0;
  };
  for (const auto& [name, file] : files_) {
    if (inside(name)) return CopyError::kExists;
  }
  for (const std::wstring& folder : folders_) {
    if (inside(folder)) return CopyError::kExists;
  }
  if (!Step(L"RemoveFolder", path)) return CopyError::kAccessDenied;
  folders_.erase(path);
  return CopyError::kNone;
}

PathType FakePlatform::TypeOf(const std::wstring& path) {
  if (links.count(path)) return PathType::kLink;
  if (folders_.count(path)) return PathType::kFolder;
  if (!files_.count(path)) return PathType::kMissing;
  return readOnly.count(path) ? PathType::kReadOnlyFile : PathType::kFile;
}

bool FakePlatform::ListFiles(const std::wstring& pattern, std::vector<std::wstring>* names) {
  const std::wstring folder = FolderOf(pattern);
  for (const auto& [path, file] : files_) {
    if (CompareFolded(FolderOf(path), folder) == 0 && WildcardMatch(NameOf(pattern), file.name)) {
      names->push_back(file.name);
    }
  }
  return true;
}

std::unique_ptr<Sha256Stream> FakePlatform::StartSha256() { return std::make_unique<FakeSha256>(); }

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
  if (folders_.count(destination)) return CopyError::kAccessDenied;
  // A program holding the file keeps the rename over it from happening.
  return openFiles.count(destination) ? CopyError::kInUse : CopyError::kNone;
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
