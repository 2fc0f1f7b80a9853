// An in-memory platform for tests (and the tool's inspection of it): files,
// folders, registry and environment
// live in maps; message boxes take scripted answers; every box and every
// sleep is recorded and nothing really sleeps; EndProgram throws
// ProgramEnded so that a test sees the end without losing its process.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/inspection.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/windows_path.h"

namespace updater::testing {

// Thrown by FakePlatform::EndProgram.
struct ProgramEnded {};

struct FoldLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const {
    return CompareFolded(a, b) < 0;
  }
};

struct Box {
  std::wstring prompt;
  unsigned flags;
  std::wstring title;
};

class FakePlatform : public Platform, public Inspection {
 public:
  struct File {
    std::wstring name;  // on-disk form of the last component
    std::string content;
    bool hidden = false;
  };
  struct Value {
    std::uint32_t type;
    std::string data;  // what the ANSI calls give
    // What the registry holds, when the ANSI form lost characters of it.
    std::optional<std::wstring> text;
  };

  // --- Setting the scene ---------------------------------------------------
  void SetEnv(const std::wstring& name, const std::wstring& value) { env_[name] = value; }
  // Adds a folder (and its parents). Paths use "\"; a trailing "\" is optional.
  void AddFolder(const std::wstring& path);
  // Adds a file and its folders; the path's last component is its on-disk name.
  void AddFile(const std::wstring& path, const std::string& content, bool hidden = false);
  void Remove(const std::wstring& path) { files_.erase(path); }
  bool HasFile(const std::wstring& path) const { return files_.count(path) != 0; }
  bool HasFolder(const std::wstring& path) const { return folders_.count(path) != 0; }
  // The content of a file; fails the test's expectation by returning a marker
  // when it does not exist.
  std::string Content(const std::wstring& path) const;
  const std::map<std::wstring, File, FoldLess>& files() const { return files_; }

  void AddKey(const std::string& key) { registry_[key]; }
  void SetString(const std::string& key, const std::string& name, const std::string& ansi,
                 bool terminated = true);
  // A REG_SZ whose text the ANSI code page cannot hold: the ANSI calls give
  // `ansi` (Windows' look-alike letters, say), the wide read `text`.
  void SetText(const std::string& key, const std::string& name, const std::wstring& text,
               const std::string& ansi) {
    registry_[key][name] = Value{kRegSz, ansi + std::string(1, '\0'), text};
  }
  void SetDword(const std::string& key, const std::string& name, std::uint32_t value);
  void SetValue(const std::string& key, const std::string& name, std::uint32_t type,
                const std::string& data) {
    registry_[key][name] = Value{type, data, std::nullopt};
  }

  // Scripted answers, taken in order; when none is left a Yes/No box is
  // answered Yes and any other box OK.
  std::deque<int> answers;
  // Called after each recorded sleep with the number of sleeps so far, and
  // before each presence test with the number of tests so far.
  std::function<void(int)> onSleep;
  std::function<void(int)> onFind;
  // Called when a file is opened for reading, before anything is read.
  std::function<void(const std::wstring&)> onOpen;
  // Every change a copy makes is a step: a file created ("Create", its
  // path), written a few bytes at a time ("Write"), flushed ("Flush") and
  // closed ("Close"); a rename ("Rename", the path renamed to); a removal
  // ("Remove"); a folder made or removed ("MakeFolder", "RemoveFolder").
  // Each step asks this first (with the step and the path it acts on) and
  // fails when it answers false; a step answered by throwing ProgramEnded
  // ends the program there, as a kill would.
  std::function<bool(const wchar_t* step, const std::wstring& path)> copyStep;
  // Paths whose presence test fails; results for the creation of the staged
  // file of a destination (by the destination), and for the renames to or
  // from a path.
  std::set<std::wstring, FoldLess> failingFinds;
  std::map<std::wstring, std::deque<CopyError>, FoldLess> stageFailures;
  std::map<std::wstring, std::deque<CopyError>, FoldLess> replaceFailures;
  // Files marked read-only, and paths that are links.
  std::set<std::wstring, FoldLess> readOnly;
  std::set<std::wstring, FoldLess> links;
  // The free space of every volume; no value: it cannot be told.
  std::optional<std::uint64_t> freeSpace = std::uint64_t{1} << 40;
  // Other paths to a folder (a share of its disk, a short name), as
  // LocateFolder finds them: the other path, then the folder's own.
  std::map<std::wstring, std::wstring, FoldLess> folderAliases;
  // Files a program holds open, for QueryOpen and ProbeDestination, and
  // files of which that cannot be told.
  std::set<std::wstring, FoldLess> openFiles;
  std::set<std::wstring, FoldLess> openUnknown;
  // Keys the user may read but not change: opening one with any right to
  // change it is refused, as Windows does.
  std::set<std::string> readOnlyKeys;
  // Statuses for the data read (second call) of a registry value.
  std::map<std::string, std::int32_t> failingDataReads;
  std::wstring decimalSeparator = L".";
  // The ANSI code page is UTF-8 (65001) instead of Windows-1252.
  bool ansiIsUtf8 = false;
  bool anotherInstanceRunning = false;

  // --- What happened -------------------------------------------------------
  std::vector<Box> boxes;
  std::vector<unsigned> sleeps;
  std::vector<std::wstring> copies;  // destinations of staged files created
  std::size_t bytesRead = 0;         // bytes read from files opened for reading
  std::vector<std::wstring> finds;   // paths of presence tests
  std::vector<std::wstring> hashed;  // paths of files hashed
  std::vector<std::wstring> opened;  // paths of files opened for reading
  int openKeys = 0;                  // opened and not yet closed
  std::uint32_t lastAccessMask = 0;
  bool ended = false;
  unsigned long long SleptMs() const;

  // --- Platform ------------------------------------------------------------
  std::wstring EnvironmentValue(const std::wstring& name) override;
  FindResult FindFileName(const std::wstring& path) override;
  FolderPlace LocateFolder(const std::wstring& path) override;
  std::unique_ptr<InputFile> OpenFile(const std::wstring& path) override;
  CopyError CreateNewFile(const std::wstring& path, const std::wstring& like,
                          std::unique_ptr<OutputFile>* file) override;
  CopyError RenameFile(const std::wstring& from, const std::wstring& to, bool replace) override;
  CopyError SyncFolder(const std::wstring&) override { return CopyError::kNone; }
  CopyError RemoveFile(const std::wstring& path) override;
  CopyError MakeFolder(const std::wstring& path) override;
  CopyError RemoveFolder(const std::wstring& path) override;
  bool FreeSpace(const std::wstring&, std::uint64_t* bytes) override {
    if (freeSpace) *bytes = *freeSpace;
    return freeSpace.has_value();
  }
  PathType TypeOf(const std::wstring& path) override;
  bool ListFiles(const std::wstring& pattern, std::vector<std::wstring>* names) override;
  std::unique_ptr<Sha256Stream> StartSha256() override;
  bool HashFile(const std::wstring& path, Sha256* digest) override;
  bool HashBytes(const std::string& bytes, Sha256* digest) override;
  SignatureCheck VerifyP256(const P256Point& point, const Sha256& digest,
                            const P256Signature& signature) override;
  std::int32_t RegOpenKeyExA(RegistryKey root, const std::string& subKey, std::uint32_t options,
                             std::uint32_t access, RegistryKey* key) override;
  std::int32_t RegQueryValueExA(RegistryKey key, const std::string& name, std::uint32_t* type,
                                unsigned char* data, std::uint32_t* size) override;
  std::int32_t RegQueryTextW(RegistryKey key, const std::wstring& name,
                             std::wstring* text) override;
  std::int32_t RegCloseKey(RegistryKey key) override;
  int ShowMessage(const std::wstring& prompt, unsigned flags, const std::wstring& title) override;
  void Sleep(unsigned milliseconds) override;
  [[noreturn]] void EndProgram() override;
  std::wstring AnsiToText(const std::string& bytes) override {
    return ansiIsUtf8 ? DecodeUtf8(bytes) : DecodeWindows1252(bytes);
  }
  std::string TextToAnsi(const std::wstring& text) override { return EncodeWindows1252(text); }
  // As a Windows locale's collation does, the soft hyphen (U+00AD) counts
  // for nothing; names compare character by character.
  int CompareText(const std::wstring& a, const std::wstring& b) override {
    return CompareFolded(WithoutSoftHyphens(a), WithoutSoftHyphens(b));
  }
  int CompareNames(const std::wstring& a, const std::wstring& b) override {
    return CompareFolded(a, b);
  }
  std::wstring DecimalSeparator() override { return decimalSeparator; }
  bool IsAbsolutePath(const std::wstring& path) override { return IsWindowsAbsolutePath(path); }
  bool ClaimSingleInstance(const std::wstring&) override { return !anotherInstanceRunning; }
  ClaimState QueryClaim(const std::wstring&) override {
    return anotherInstanceRunning ? ClaimState::kHeld : ClaimState::kFree;
  }
  PathKind QueryPath(const std::wstring& path) override;
  OpenState QueryOpen(const std::wstring& path) override {
    return openUnknown.count(path) ? OpenState::kUnknown
           : openFiles.count(path) ? OpenState::kOpen
                                   : OpenState::kClosed;
  }
  CopyError ProbeDestination(const std::wstring& destination) override;

 private:
  friend class FakeOutputFile;
  bool Step(const wchar_t* step, const std::wstring& path) {
    return !copyStep || copyStep(step, path);
  }
  // The first scripted result for `path` in `failures`, taken; kNone when
  // none is left.
  static CopyError Scripted(std::map<std::wstring, std::deque<CopyError>, FoldLess>& failures,
                            const std::wstring& path);
  static std::wstring WithoutSoftHyphens(std::wstring text) {
    text.erase(std::remove(text.begin(), text.end(), L'\u00AD'), text.end());
    return text;
  }
  struct FoldLessA {
    bool operator()(const std::string& a, const std::string& b) const {
      return CompareFolded(DecodeWindows1252(a), DecodeWindows1252(b)) < 0;
    }
  };
  std::map<std::wstring, std::wstring, FoldLess> env_;
  std::set<std::wstring, FoldLess> folders_;
  std::map<std::wstring, File, FoldLess> files_;
  std::map<std::string, std::map<std::string, Value, FoldLessA>, FoldLessA> registry_;
  std::map<RegistryKey, std::string> handles_;
  RegistryKey nextHandle_ = 100;
};

// The SHA-256 digest of `bytes`.
Sha256 DigestOf(const std::string& bytes);

// Runs `body` (which ends the program) and reports whether it ended through
// EndProgram.
bool EndsProgram(FakePlatform& platform, const std::function<void()>& body);

}  // namespace updater::testing
