// The POSIX platform on real files in a fresh temporary folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "fake_platform.h"
#include "platform/inspection.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "temp_tree.h"
#include "update/checksums.h"
#include "update/copy.h"
#include "update/registry_lookup.h"
#include "update/staged_names.h"

namespace updater {
namespace {

namespace fs = std::filesystem;

class PosixPlatformTest : public TempTreeTest {
 protected:
  Platform& platform_ = SystemPlatform();
};

TEST_F(PosixPlatformTest, FindFileNameMatchesLikeWindows) {
  Write("Temp/sylkum.mde", "x");
  Write("Temp/Hj\xC3\xA6lp.chm", "x");
  Write("Temp/.hidden.mde", "x");
  Write("Temp/b.txt", "x");
  Write("Temp/a.txt", "x");
  fs::create_directories(root_ + "/Temp/folder.mde");
  struct Case {
    std::string path;
    std::wstring name;
  };
  const Case cases[] = {
      {"Temp/SYLKUM.MDE", L"sylkum.mde"},
      {"TEMP/sylkum.mde", L"sylkum.mde"},            // folders too
      {"Temp/HJ\xC3\x86LP.CHM", L"Hj\u00E6lp.chm"},  // Danish letters fold
      {"Temp/*.mde", L"sylkum.mde"},                 // not the hidden one, nor the folder
      {"Temp/s?lkum.*", L"sylkum.mde"},
      {"Temp/*.txt", L"a.txt"},  // the first in name order
      {"Temp/*.*", L"a.txt"},
      {"Temp/.hidden.mde", L""},
      {"Temp/folder.mde", L""},
      {"Temp/none.mde", L""},
      {"Missing/sylkum.mde", L""},
      {"Temp/", L""},
  };
  for (const Case& c : cases) {
    const FindResult found = platform_.FindFileName(Win(c.path));
    EXPECT_TRUE(found.ok) << c.path;
    EXPECT_EQ(found.name, c.name) << c.path;
  }
}

TEST_F(PosixPlatformTest, FindFileNameFailsForPathsThatCannotBeSearched) {
  Write("Temp/a.txt", "x");
  for (const std::wstring& path : {Win("Temp/a<b"), Win("Temp/a|b"), Win("Te*p/a.txt"),
                                   Win("Temp/a.txt") + std::wstring(1, L'\0')}) {
    EXPECT_FALSE(platform_.FindFileName(path).ok);
  }
}

TEST_F(PosixPlatformTest, OpenFileReadsFilesInAnyLetterCaseButNotFolders) {
  Write("Temp/OrvakBK.ini", "5.3\r\n");
  std::unique_ptr<InputFile> file = platform_.OpenFile(Win("temp/orvakbk.INI"));
  ASSERT_NE(file, nullptr);
  char buffer[16];
  EXPECT_EQ(file->Read(buffer, sizeof buffer), 5);
  EXPECT_EQ(file->Read(buffer, sizeof buffer), 0);
  EXPECT_EQ(platform_.OpenFile(Win("Temp")), nullptr);
  EXPECT_EQ(platform_.OpenFile(Win("Temp/none.ini")), nullptr);
}

TEST_F(PosixPlatformTest, CopyReplacesTheFileInWhateverCaseItHas) {
  Write("Temp/sylkum.mde", "new content");
  Write("Prog/Sylkum/Sylkum.mde", "old");
  EXPECT_EQ(
      CopyIntoPlace(platform_, Win("Temp/sylkum.mde"), Win("prog/SYLKUM/SYLKUM.MDE"), nullptr),
      CopyError::kNone);
  EXPECT_EQ(Read("Prog/Sylkum/Sylkum.mde"), "new content");
  EXPECT_EQ(List("Prog/Sylkum"), std::vector<std::string>{"Sylkum.mde"});

  EXPECT_EQ(CopyIntoPlace(platform_, Win("Temp/sylkum.mde"), Win("Prog/Sylkum/Ny.dll"), nullptr),
            CopyError::kNone);
  EXPECT_EQ(Read("Prog/Sylkum/Ny.dll"), "new content");

  // A file that another program adds later, in other letter case, is still
  // the one replaced (its folder's modification time tells of the change).
  Write("Prog/Sylkum/HJ\xC3\x86LP.CHM", "old help");
  const timespec later[2] = {{0, UTIME_OMIT}, {::time(nullptr) + 5, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (root_ + "/Prog/Sylkum").c_str(), later, 0), 0);
  EXPECT_EQ(CopyIntoPlace(platform_, Win("Temp/sylkum.mde"), Win("Prog/Sylkum/hj\xC3\xa6lp.chm"),
                          nullptr),
            CopyError::kNone);
  EXPECT_EQ(Read("Prog/Sylkum/HJ\xC3\x86LP.CHM"), "new content");
  EXPECT_EQ(List("Prog/Sylkum"),
            (std::vector<std::string>{"HJ\xC3\x86LP.CHM", "Ny.dll", "Sylkum.mde"}));
}

TEST_F(PosixPlatformTest, CopyFailuresNameTheirReason) {
  Write("Temp/a.dll", "a");
  fs::create_directories(root_ + "/Prog/Folder.dll");
  EXPECT_EQ(CopyIntoPlace(platform_, Win("Temp/a.dll"), Win("Prog/Sub/a.dll"), nullptr),
            CopyError::kFolderMissing);
  EXPECT_EQ(CopyIntoPlace(platform_, Win("Temp/none.dll"), Win("Prog/a.dll"), nullptr),
            CopyError::kSourceMissing);
  EXPECT_EQ(CopyIntoPlace(platform_, Win("Temp/a.dll"), Win("Prog/Folder.dll"), nullptr),
            CopyError::kFolderInPlace);
  EXPECT_EQ(CopyIntoPlace(platform_, Win("Temp/a.dll"), Win("Prog/a|b.dll"), nullptr),
            CopyError::kInvalidName);
  EXPECT_EQ(List("Prog"), std::vector<std::string>{"Folder.dll"});
}

TEST_F(PosixPlatformTest, CopyWritesNoFileButItsDestination) {
  Write("Temp/a.dll", "new");
  // A payload that comes read-only installs as an ordinary file, with the
  // source's modification time, as a copy keeps it.
  ::chmod((root_ + "/Temp/a.dll").c_str(), 0444);
  const timespec past[2] = {{0, UTIME_OMIT}, {1600000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (root_ + "/Temp/a.dll").c_str(), past, 0), 0);
  // A file that happens to carry a temporary-looking name is the product's.
  Write("Prog/a.dll.updater-tmp", "keep");
  Write("Prog/ro.dll", "old");
  ::chmod((root_ + "/Prog/ro.dll").c_str(), 0444);
  EXPECT_EQ(CopyIntoPlace(platform_, Win("Temp/a.dll"), Win("Prog/a.dll"), nullptr),
            CopyError::kNone);
  EXPECT_EQ(CopyIntoPlace(platform_, Win("Temp/a.dll"), Win("Prog/ro.dll"), nullptr),
            CopyError::kAccessDenied);
  EXPECT_EQ(Read("Prog/a.dll"), "new");
  EXPECT_EQ(Read("Prog/a.dll.updater-tmp"), "keep");
  EXPECT_EQ(Read("Prog/ro.dll"), "old");
  EXPECT_EQ(List("Prog"), (std::vector<std::string>{"a.dll", "a.dll.updater-tmp", "ro.dll"}));
  struct stat st;
  ASSERT_EQ(::stat((root_ + "/Prog/a.dll").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & 0200, 0u) << std::oct << st.st_mode;
  EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
  // The next update of it goes through, and keeps the mode it has.
  ::chmod((root_ + "/Prog/a.dll").c_str(), 0640);
  ::chmod((root_ + "/Temp/a.dll").c_str(), 0644);
  Write("Temp/a.dll", "newer");
  EXPECT_EQ(CopyIntoPlace(platform_, Win("Temp/a.dll"), Win("Prog/a.dll"), nullptr),
            CopyError::kNone);
  EXPECT_EQ(Read("Prog/a.dll"), "newer");
  ASSERT_EQ(::stat((root_ + "/Prog/a.dll").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// A staged file an earlier run left (killed, or cut off by a power failure)
// goes with the next copy to its destination; nothing else does.
TEST_F(PosixPlatformTest, StagedFilesLeftByAnEarlierRunAreRemoved) {
  Write("Temp/a.dll", "new");
  const std::string litter = EncodeUtf8(StagedName(L"a.dll", 0x1234abcd));
  const std::string other = EncodeUtf8(StagedName(L"b.dll", 0x1234abcd));
  Write("Prog/" + litter, "half");
  Write("Prog/" + other, "half");
  Write("Prog/a.dll.1234abcd.keep", "the product's");
  EXPECT_EQ(CopyIntoPlace(platform_, Win("Temp/a.dll"), Win("Prog/A.DLL"), nullptr),
            CopyError::kNone);
  EXPECT_EQ(List("Prog"), (std::vector<std::string>{"A.DLL", "a.dll.1234abcd.keep", other}));
}

TEST_F(PosixPlatformTest, CopyThatFailsPartWayLeavesTheOldFileWhole) {
  Write("Temp/big.mdb", std::string(256 * 1024, 'N'));
  Write("Prog/big.mdb", "old database");
  // A child process whose files may not grow past 64 KiB: its copy fails
  // in the middle, as on a full disk.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64 * 1024, 64 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const CopyError error =
        CopyIntoPlace(SystemPlatform(), Win("Temp/big.mdb"), Win("Prog/big.mdb"), nullptr);
    ::_exit(error == CopyError::kNone ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << "the copy should have failed";
  EXPECT_EQ(Read("Prog/big.mdb"), "old database");
  EXPECT_EQ(List("Prog"), std::vector<std::string>{"big.mdb"});
}

TEST_F(PosixPlatformTest, LargeCopyIsWhole) {
  std::string content(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
  Write("Temp/big.bin", content);
  fs::create_directories(root_ + "/Prog");
  ASSERT_EQ(CopyIntoPlace(platform_, Win("Temp/big.bin"), Win("Prog/big.bin"), nullptr),
            CopyError::kNone);
  EXPECT_TRUE(Read("Prog/big.bin") == content);
}

// Bytes that no two reads of a copy or a digest see alike.
std::string LargeContent() {
  std::string content(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
  return content;
}

TEST_F(PosixPlatformTest, HashFileGivesTheSha256OfTheWholeFile) {
  Write("Temp/abc.txt", "abc");
  Write("Temp/big.bin", LargeContent());
  Sha256 digest{};
  ASSERT_TRUE(platform_.HashFile(Win("temp/ABC.TXT"), &digest));
  EXPECT_EQ(DigestHex(digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  ASSERT_TRUE(platform_.HashFile(Win("Temp/big.bin"), &digest));
  EXPECT_EQ(digest, testing::DigestOf(LargeContent()));
  EXPECT_FALSE(platform_.HashFile(Win("Temp/none.txt"), &digest));
  EXPECT_FALSE(platform_.HashFile(Win("Temp"), &digest));
}

TEST_F(PosixPlatformTest, CopyHeldToADigestReplacesOnlyWithThoseBytes) {
  const std::string content = LargeContent();
  Write("Temp/big.mdb", content);
  Write("Prog/big.mdb", "old database");
  // The digest of the source as it was before it was rewritten.
  const Sha256 earlier = testing::DigestOf(content.substr(1));
  EXPECT_EQ(CopyIntoPlace(platform_, Win("Temp/big.mdb"), Win("Prog/big.mdb"), &earlier),
            CopyError::kChanged);
  EXPECT_EQ(CopyIntoPlace(platform_, Win("Temp/big.mdb"), Win("Prog/new.mdb"), &earlier),
            CopyError::kChanged);
  EXPECT_EQ(Read("Prog/big.mdb"), "old database");
  EXPECT_EQ(List("Prog"), std::vector<std::string>{"big.mdb"});

  const Sha256 right = testing::DigestOf(content);
  EXPECT_EQ(CopyIntoPlace(platform_, Win("Temp/big.mdb"), Win("Prog/big.mdb"), &right),
            CopyError::kNone);
  EXPECT_TRUE(Read("Prog/big.mdb") == content);
  EXPECT_EQ(List("Prog"), std::vector<std::string>{"big.mdb"});
}

TEST_F(PosixPlatformTest, EnvironmentNamesIgnoreLetterCase) {
  ::setenv("UPDATER_TEST_TEMP", "/tmp/\xC3\x85se", 1);
  EXPECT_EQ(platform_.EnvironmentValue(L"updater_test_temp"), L"/tmp/\u00C5se");
  ::unsetenv("UPDATER_TEST_TEMP");
  EXPECT_EQ(platform_.EnvironmentValue(L"updater_test_temp"), L"");
}

TEST_F(PosixPlatformTest, RegistryComesFromTheRegFile) {
  const std::string reg = root_ + "/hkcu.reg";
  ::setenv("HKCU_FILE", reg.c_str(), 1);
  RegistryKey key = 0;
  EXPECT_NE(platform_.RegOpenKeyExA(kHkeyCurrentUser, "Software\\Zorbe IT Service\\Sylkum", 0, 0x3F,
                                    &key),
            0)
      << "no file: the key cannot be opened";

  // UTF-16LE with a byte-order mark, as regedit writes it.
  const std::wstring text =
      L"Windows Registry Editor Version 5.00\r\n\r\n"
      L"[HKEY_CURRENT_USER\\Software\\Zorbe IT Service\\Sylkum]\r\n"
      L"\"Version\"=\"5.20\"\r\n"
      L"\"MDE\"=\"C:\\\\Prog\\\\S\u00F8lkum\"\r\n"
      L"\"Count\"=dword:0000002a\r\n"
      L"\"User\"=\"C:\\\\Users\\\\\u0141ukasz\"\r\n";
  std::string bytes = "\xFF\xFE";
  for (wchar_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  std::ofstream(reg, std::ios::binary) << bytes;
  ASSERT_EQ(platform_.RegOpenKeyExA(kHkeyCurrentUser, "software\\zorbe it service\\SYLKUM", 0, 0x3F,
                                    &key),
            0);
  RegistryValue slot;
  EXPECT_EQ(ReadRegistryValue(platform_, key, L"MDE", &slot), 0);
  EXPECT_EQ(slot.AsText(), L"C:\\Prog\\S\u00F8lkum");
  EXPECT_EQ(ReadRegistryValue(platform_, key, L"count", &slot), 0);
  EXPECT_EQ(slot.AsText(), L"42");
  EXPECT_EQ(ReadRegistryValue(platform_, key, L"Missing", &slot), kErrorFileNotFound);
  // The ANSI form cannot hold Ł; the value arrives as the file holds it.
  EXPECT_EQ(ReadRegistryValue(platform_, key, L"User", &slot), 0);
  EXPECT_EQ(slot.AsText(), L"C:\\Users\\\u0141ukasz");
  std::wstring stored;
  EXPECT_EQ(platform_.RegQueryTextW(key, L"count", &stored), kErrorUnsupportedType);
  std::uint32_t type = 0, size = 2;
  unsigned char small[2];
  EXPECT_EQ(platform_.RegQueryValueExA(key, "Version", &type, small, &size), kErrorMoreData);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(platform_.RegCloseKey(key), 0);
  EXPECT_NE(platform_.RegCloseKey(key), 0);

  std::ofstream(reg, std::ios::binary)
      << "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER";
  EXPECT_NE(platform_.RegOpenKeyExA(kHkeyCurrentUser, "Software", 0, 0x3F, &key), 0)
      << "a malformed file: the key cannot be opened";
  ::unsetenv("HKCU_FILE");
}

TEST_F(PosixPlatformTest, AbsolutePathsStartAtTheRoot) {
  EXPECT_TRUE(platform_.IsAbsolutePath(L"/opt/Sylkum"));
  EXPECT_TRUE(platform_.IsAbsolutePath(L"\\opt\\Sylkum"));
  EXPECT_FALSE(platform_.IsAbsolutePath(L"opt/Sylkum"));
  EXPECT_FALSE(platform_.IsAbsolutePath(L"C:\\Sylkum"));  // a folder "C:" here
  EXPECT_FALSE(platform_.IsAbsolutePath(L""));
}

TEST_F(PosixPlatformTest, OnlyOneClaimPerProduct) {
  EXPECT_TRUE(platform_.ClaimSingleInstance(L"UnitTestProduct"));
  EXPECT_FALSE(platform_.ClaimSingleInstance(L"UnitTestProduct"));
  EXPECT_TRUE(platform_.ClaimSingleInstance(L"OtherUnitTestProduct"));
}

// The support tool asks whether a claim is held without taking it: an
// updater that starts meanwhile still gets it.
TEST_F(PosixPlatformTest, AClaimIsSeenWithoutBeingTaken) {
  const std::wstring product = L"UnitTestQueriedProduct";
  EXPECT_EQ(SystemInspection().QueryClaim(product), ClaimState::kFree);
  EXPECT_TRUE(platform_.ClaimSingleInstance(product));
  EXPECT_EQ(SystemInspection().QueryClaim(product), ClaimState::kHeld);
  EXPECT_FALSE(platform_.ClaimSingleInstance(product));
}

// Runs `body` in a child process on a new pseudo-terminal, types `input`
// and returns what the child printed on the terminal and its exit status.
std::pair<std::string, int> OnTerminal(const std::function<int()>& body, const std::string& input) {
  int master = -1;
  const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (child == 0) ::_exit(body());
  std::string screen;
  if (child < 0) return {screen, -1};
  EXPECT_EQ(::write(master, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    screen.append(buffer, static_cast<std::size_t>(n));
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(master);
  return {screen, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST_F(PosixPlatformTest, MessageBoxesOnTheTerminal) {
  const auto yesNo = [] {
    return SystemPlatform().ShowMessage(L"Der er en ny version\r\n\r\n\u00D8nsker du?", kMbYesNo,
                                        L"Zorbe IT - OrvakBK");
  };
  auto [screen, answer] = OnTerminal(yesNo, "x\nJ\n");
  EXPECT_EQ(answer, kIdYes);
  EXPECT_NE(screen.find("Zorbe IT - OrvakBK"), std::string::npos);
  EXPECT_NE(screen.find("\xC3\x98nsker du?"), std::string::npos);
  EXPECT_NE(screen.find("[Ja / Nej]"), std::string::npos);

  EXPECT_EQ(OnTerminal(yesNo, "n\n").second, kIdNo);
  const auto ok = [] {
    return SystemPlatform().ShowMessage(L"Done", kMbIconInformation, L"Zorbe IT - OrvakBK");
  };
  EXPECT_EQ(OnTerminal(ok, "\n").second, kIdOk);
}

TEST_F(PosixPlatformTest, NoTerminalMeansNoBox) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::setsid();   // no controlling terminal any more
    ::alarm(10);  // a box that waits for an answer would hang the test
    // 40 + the result, so that no other way of ending can pass for it.
    ::_exit(40 + SystemPlatform().ShowMessage(L"x", kMbYesNo, L"t"));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child did not end by itself: status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 40);
}

}  // namespace
}  // namespace updater
