// The platform on Linux and other POSIX systems, so that the updater runs
// for real outside Windows: paths written with "\" and matched without regard
// to letter case, the registry read from a .reg export, message boxes on the
// controlling terminal.
// This file holds the platform itself; it hands the file, registry, message
// box and claim operations to the files beside it.
#include "platform/platform.h"

#include <langinfo.h>
#include <locale.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>

#include "platform/posix/boxes.h"
#include "platform/posix/claim.h"
#include "platform/posix/crypto.h"
#include "platform/posix/files.h"
#include "platform/posix/registry.h"
#include "platform/text.h"

extern char** environ;

namespace updater {
namespace {

class PosixPlatform final : public Platform {
 public:
  std::wstring EnvironmentValue(const std::wstring& name) override {
    std::optional<std::wstring> folded;
    for (char** entry = environ; entry && *entry; ++entry) {
      const char* equals = std::strchr(*entry, '=');
      if (!equals || equals == *entry) continue;
      const std::wstring key =
          DecodeUtf8(std::string(*entry, static_cast<std::size_t>(equals - *entry)));
      if (key == name) return DecodeUtf8(equals + 1);  // the exact name wins
      if (!folded && CompareFolded(key, name) == 0) folded = DecodeUtf8(equals + 1);
    }
    return folded.value_or(std::wstring());
  }

  FindResult FindFileName(const std::wstring& path) override { return posix::FindFileName(path); }

  // Paths may be written with "\" here too, so a leading "\" is the root.
  bool IsAbsolutePath(const std::wstring& path) override {
    return !path.empty() && (path[0] == L'/' || path[0] == L'\\');
  }

  FolderPlace LocateFolder(const std::wstring& path) override { return posix::LocateFolder(path); }

  std::unique_ptr<InputFile> OpenFile(const std::wstring& path) override {
    return posix::OpenFile(path);
  }

  bool HashFile(const std::wstring& path, Sha256* digest) override {
    return posix::HashFile(path, digest);
  }

  CopyError CreateNewFile(const std::wstring& path, const std::wstring& like,
                          std::unique_ptr<OutputFile>* file) override {
    return posix::CreateNewFile(path, like, file);
  }
  CopyError RenameFile(const std::wstring& from, const std::wstring& to, bool replace) override {
    return posix::RenameFile(from, to, replace);
  }
  CopyError SyncFolder(const std::wstring& path) override { return posix::SyncFolder(path); }
  CopyError RemoveFile(const std::wstring& path) override { return posix::RemoveFile(path); }
  CopyError MakeFolder(const std::wstring& path) override { return posix::MakeFolder(path); }
  CopyError RemoveFolder(const std::wstring& path) override { return posix::RemoveFolder(path); }
  bool FreeSpace(const std::wstring& path, std::uint64_t* bytes) override {
    return posix::FreeSpace(path, bytes);
  }
  PathType TypeOf(const std::wstring& path) override { return posix::TypeOf(path); }
  bool ListFiles(const std::wstring& pattern, std::vector<std::wstring>* names) override {
    return posix::ListFiles(pattern, names);
  }
  std::unique_ptr<Sha256Stream> StartSha256() override { return posix::StartSha256(); }

  bool HashBytes(const std::string& bytes, Sha256* digest) override {
    return posix::HashBytes(bytes, digest);
  }

  SignatureCheck VerifyP256(const P256Point& point, const Sha256& digest,
                            const P256Signature& signature) override {
    return posix::VerifyP256(point, digest, signature);
  }

  std::int32_t RegOpenKeyExA(RegistryKey root, const std::string& subKey, std::uint32_t options,
                             std::uint32_t access, RegistryKey* key) override {
    return registry_.RegOpenKeyExA(root, subKey, options, access, key);
  }

  std::int32_t RegQueryValueExA(RegistryKey key, const std::string& name, std::uint32_t* type,
                                unsigned char* data, std::uint32_t* size) override {
    return registry_.RegQueryValueExA(key, name, type, data, size);
  }

  std::int32_t RegQueryTextW(RegistryKey key, const std::wstring& name,
                             std::wstring* text) override {
    return registry_.RegQueryTextW(key, name, text);
  }

  std::int32_t RegCloseKey(RegistryKey key) override { return registry_.RegCloseKey(key); }

  int ShowMessage(const std::wstring& prompt, unsigned flags, const std::wstring& title) override {
    return posix::ShowMessage(prompt, flags, title);
  }

  void Sleep(unsigned milliseconds) override {
    timespec wait{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
  }

  [[noreturn]] void EndProgram() override { ::_exit(0); }

  std::wstring AnsiToText(const std::string& bytes) override { return DecodeWindows1252(bytes); }

  std::string TextToAnsi(const std::wstring& text) override { return EncodeWindows1252(text); }

  int CompareText(const std::wstring& a, const std::wstring& b) override {
    return CompareFolded(a, b);
  }

  int CompareNames(const std::wstring& a, const std::wstring& b) override {
    return CompareFolded(a, b);
  }

  std::wstring DecimalSeparator() override {
    std::wstring separator = L".";
    if (locale_t locale = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0))) {
      const char* radix = ::nl_langinfo_l(RADIXCHAR, locale);
      if (radix && *radix) separator = DecodeUtf8(radix);
      ::freelocale(locale);
    }
    return separator;
  }

  bool ClaimSingleInstance(const std::wstring& productId) override {
    return posix::ClaimSingleInstance(productId);
  }

 private:
  posix::Registry registry_;
};

}  // namespace

Platform& SystemPlatform() {
  static PosixPlatform platform;
  return platform;
}

}  // namespace updater
