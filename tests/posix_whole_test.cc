// An update that lands whole, on real files through the POSIX platform,
// with each system call the platform makes failing in turn (the table of
// calls lets a test do so): whatever fails, every destination is old
// afterwards (or, when only the clean-up after landing failed, every one is
// new), nothing of ours is left, and the failure is named. Also a disk too
// small for the staged files, on a small tmpfs where one can be mounted.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/calls.h"
#include "platform/text.h"
#include "temp_tree.h"
#include "update/staged_names.h"
#include "update/whole.h"

namespace updater {
namespace {

namespace fs = std::filesystem;
using posix::Calls;
using posix::RealCalls;

// Which call fails: the `failAt`-th call of `kind` (0: none); every call of
// each kind is counted.
enum Kind {
  kOpen,
  kRead,
  kWrite,
  kFsync,
  kClose,
  kFutimens,
  kFchmod,
  kRename,
  kUnlink,
  kMkdir,
  kRmdir,
  kStatvfs,
  kLstat,
  kCopyRange,
  kKinds
};
const char* const kKindNames[kKinds] = {"open",     "read",    "write",  "fsync",          "close",
                                        "futimens", "fchmod",  "rename", "unlink",         "mkdir",
                                        "rmdir",    "statvfs", "lstat",  "copy_file_range"};
int g_counts[kKinds];
Kind g_kind = kOpen;
int g_failAt = 0;

bool Fails(Kind kind) {
  if (++g_counts[kind] != g_failAt || kind != g_kind) return false;
  errno = kind == kWrite ? ENOSPC : EIO;
  return true;
}

void Install() {
  Calls().Open = [](const char* p, int f, mode_t m) {
    return Fails(kOpen) ? -1 : RealCalls().Open(p, f, m);
  };
  Calls().Read = [](int fd, void* b, size_t n) -> ssize_t {
    return Fails(kRead) ? -1 : RealCalls().Read(fd, b, n);
  };
  Calls().Write = [](int fd, const void* b, size_t n) -> ssize_t {
    return Fails(kWrite) ? -1 : RealCalls().Write(fd, b, n);
  };
  Calls().Fsync = [](int fd) { return Fails(kFsync) ? -1 : RealCalls().Fsync(fd); };
  Calls().Close = [](int fd) {
    const int closed = RealCalls().Close(fd);  // the descriptor goes either way
    return Fails(kClose) ? -1 : closed;
  };
  Calls().Futimens = [](int fd, const timespec t[2]) {
    return Fails(kFutimens) ? -1 : RealCalls().Futimens(fd, t);
  };
  Calls().Fchmod = [](int fd, mode_t m) { return Fails(kFchmod) ? -1 : RealCalls().Fchmod(fd, m); };
  Calls().Rename = [](const char* a, const char* b, unsigned f) {
    return Fails(kRename) ? -1 : RealCalls().Rename(a, b, f);
  };
  Calls().Unlink = [](const char* p) { return Fails(kUnlink) ? -1 : RealCalls().Unlink(p); };
  Calls().Mkdir = [](const char* p, mode_t m) {
    return Fails(kMkdir) ? -1 : RealCalls().Mkdir(p, m);
  };
  Calls().Rmdir = [](const char* p) { return Fails(kRmdir) ? -1 : RealCalls().Rmdir(p); };
  Calls().Statvfs = [](const char* p, struct statvfs* i) {
    return Fails(kStatvfs) ? -1 : RealCalls().Statvfs(p, i);
  };
  Calls().CopyRange = [](int in, int out, size_t n) -> ssize_t {
    return Fails(kCopyRange) ? -1 : RealCalls().CopyRange(in, out, n);
  };
  Calls().Lstat = [](const char* p, struct stat* i) {
    return Fails(kLstat) ? -1 : RealCalls().Lstat(p, i);
  };
}

class PosixWholeTest : public TempTreeTest {
 protected:
  void TearDown() override {
    Calls() = RealCalls();
    if (mounted_) ::umount(root_.c_str());
    TempTreeTest::TearDown();
  }

  // A generated update: some files replaced, one new in a folder it makes.
  void SetUpUpdate() {
    fs::remove_all(root_ + "/Prog");
    files_.clear();
    for (int i = 0; i < 3; ++i) {
      const std::string name = "f" + std::to_string(i) + ".dll";
      Write("Temp/" + name, "new " + name);
      Write("Prog/" + name, "old " + name);
      files_.push_back({Win("Temp/" + name), Win("Prog/" + name), nullptr});
    }
    // One file held to its digest: copied through the updater's buffer, the
    // others inside the system.
    ASSERT_TRUE(SystemPlatform().HashBytes("new f0.dll", &digest_));
    files_[0].expected = &digest_;
    Write("Temp/ny.dat", "new ny.dat");
    files_.push_back({Win("Temp/ny.dat"), Win("Prog/Ny/Under/ny.dat"), nullptr});
  }

  std::string Content(const WholeFile& file) const {
    std::string path = EncodeUtf8(file.destination).substr(root_.size() + 1);
    for (char& c : path) {
      if (c == '\\') c = '/';
    }
    return fs::exists(root_ + "/" + path) ? Read(path) : "";
  }
  bool AllNew() const {
    for (const WholeFile& f : files_) {
      if (Content(f).rfind("new ", 0) != 0) return false;
    }
    return true;
  }
  bool AllOld() const {
    for (std::size_t i = 0; i + 1 < files_.size(); ++i) {
      if (Content(files_[i]).rfind("old ", 0) != 0) return false;
    }
    return !fs::exists(root_ + "/Prog/Ny");
  }
  std::vector<std::string> Ours() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root_ + "/Prog")) {
      if (LooksLeftover(DecodeUtf8(entry.path().filename().string()))) {
        found.push_back(entry.path().string());
      }
    }
    return found;
  }

  bool mounted_ = false;
  Sha256 digest_{};
  std::vector<WholeFile> files_;
};

TEST_F(PosixWholeTest, EverySystemCallFailingInTurnLeavesAllOldOrAllNew) {
  SetUpUpdate();
  Install();
  g_failAt = 0;
  std::fill(std::begin(g_counts), std::end(g_counts), 0);
  ASSERT_TRUE(LandWhole(SystemPlatform(), Win("Prog/"), files_).landed);
  ASSERT_TRUE(AllNew());
  int counts[kKinds];
  std::copy(std::begin(g_counts), std::end(g_counts), counts);
  int runs = 0;
  for (int kind = 0; kind < kKinds; ++kind) {
    for (int n = 1; n <= counts[kind]; ++n) {
      SetUpUpdate();
      g_kind = static_cast<Kind>(kind);
      g_failAt = n;
      std::fill(std::begin(g_counts), std::end(g_counts), 0);
      const WholeOutcome outcome = LandWhole(SystemPlatform(), Win("Prog/"), files_);
      const std::string when = std::string(kKindNames[kind]) + " #" + std::to_string(n);
      ++runs;
      EXPECT_EQ(outcome.landed, AllNew()) << when;
      if (outcome.landed) continue;
      EXPECT_TRUE(AllOld()) << when;
      EXPECT_TRUE(Ours().empty()) << when << ": " << (Ours().empty() ? "" : Ours()[0]);
      EXPECT_TRUE(outcome.notRestored.empty()) << when;
      // The failure is named: a file of the update with its reason.
      ASSERT_FALSE(outcome.failed.empty()) << when;
      bool ofTheUpdate = false;
      for (const WholeFile& f : files_) {
        ofTheUpdate = ofTheUpdate || f.destination == outcome.failed[0].destination;
      }
      EXPECT_TRUE(ofTheUpdate) << when;
    }
  }
  EXPECT_GT(runs, 40);
  // Every kind of change was made at least once in the clean run.
  for (Kind kind :
       {kOpen, kRead, kWrite, kFsync, kClose, kRename, kMkdir, kStatvfs, kLstat, kCopyRange}) {
    EXPECT_GT(counts[kind], 0) << kKindNames[kind];
  }
}

TEST_F(PosixWholeTest, ADiskTooSmallForTheStagedFilesChangesNothing) {
  const std::string disk = root_;
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=4m") != 0) {
    GTEST_SKIP() << "a tmpfs cannot be mounted here (" << std::strerror(errno)
                 << "): the full disk is not tried";
  }
  mounted_ = true;
  // 3 MiB of payload fits the disk, but not with the margin the staged files
  // are given.
  SetUpUpdate();
  fs::remove_all(root_ + "/Temp");
  const std::string big(3u << 20, 'x');
  char temp[] = "/tmp/updater-whole-payload-XXXXXX";
  ASSERT_NE(::mkdtemp(temp), nullptr);
  const std::string payload = std::string(temp) + "/big.dat";
  std::ofstream(payload, std::ios::binary) << big;
  files_ = {{DecodeUtf8(payload), Win("Prog/f0.dll"), nullptr}};
  const WholeOutcome outcome = LandWhole(SystemPlatform(), Win("Prog/"), files_);
  fs::remove_all(temp);
  EXPECT_FALSE(outcome.landed);
  EXPECT_TRUE(outcome.noSpace);
  EXPECT_LE(outcome.available, 4u << 20);
  EXPECT_EQ(Read("Prog/f0.dll"), "old f0.dll");
  EXPECT_TRUE(Ours().empty());
}

}  // namespace
}  // namespace updater
