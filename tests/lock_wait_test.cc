#include "lockwait/lock_wait.h"

#include <gtest/gtest.h>

#include "fake_platform.h"

namespace updater {
namespace {

using testing::FakePlatform;

const wchar_t kLockPath[] = L"C:\\Prog\\Sylkum\\Sylkum.ldb";
const wchar_t kLockName[] = L"Sylkum.ldb";

TEST(LockWaitTest, AbsentAtTheFirstTestReturnsAtOnce) {
  FakePlatform platform;
  EXPECT_TRUE(WaitForLockRelease(platform, kLockPath, kLockName));
  EXPECT_TRUE(platform.sleeps.empty());
  EXPECT_EQ(platform.finds.size(), 2u);  // the loop's test and the final one
}

TEST(LockWaitTest, DeletedAfterAHundredPolls) {
  FakePlatform platform;
  platform.AddFile(kLockPath, "");
  platform.onSleep = [&platform](int count) {
    if (count == 100) platform.Remove(kLockPath);
  };
  EXPECT_TRUE(WaitForLockRelease(platform, kLockPath, kLockName));
  EXPECT_EQ(platform.SleptMs(), 100u * 400u);
}

TEST(LockWaitTest, StillPresentAfterTheLastPause) {
  FakePlatform platform;
  platform.AddFile(kLockPath, "");
  EXPECT_FALSE(WaitForLockRelease(platform, kLockPath, kLockName));
  EXPECT_EQ(platform.sleeps, std::vector<unsigned>(1500, 400));
  EXPECT_EQ(platform.finds.size(), 1501u);
}

TEST(LockWaitTest, LockInOtherLetterCaseCountsAsPresent) {
  FakePlatform platform;
  platform.AddFile(L"C:\\Prog\\Sylkum\\SYLKUM.LDB", "");
  EXPECT_FALSE(WaitForLockRelease(platform, kLockPath, kLockName));
}

TEST(LockWaitTest, FailedPresenceTestGivesUpAtOnce) {
  FakePlatform platform;
  platform.AddFile(kLockPath, "");
  platform.failingFinds.insert(kLockPath);
  EXPECT_FALSE(WaitForLockRelease(platform, kLockPath, kLockName));
  EXPECT_TRUE(platform.sleeps.empty());

  // Also when the test fails only after the file went.
  FakePlatform later;
  later.AddFile(kLockPath, "");
  later.onSleep = [&later](int) {
    later.Remove(kLockPath);
    later.failingFinds.insert(kLockPath);
  };
  EXPECT_FALSE(WaitForLockRelease(later, kLockPath, kLockName));
}

TEST(LockWaitTest, AFolderOrHiddenFileIsNoLock) {
  FakePlatform folder;
  folder.AddFolder(kLockPath);
  EXPECT_TRUE(WaitForLockRelease(folder, kLockPath, kLockName));

  FakePlatform hidden;
  hidden.AddFile(kLockPath, "", /*hidden=*/true);
  EXPECT_TRUE(WaitForLockRelease(hidden, kLockPath, kLockName));
  EXPECT_TRUE(hidden.sleeps.empty());
}

TEST(LockWaitTest, LockCreatedAgainBeforeTheFinalTestHoldsTheUpdateBack) {
  FakePlatform platform;
  platform.AddFile(kLockPath, "");
  platform.onSleep = [&platform](int count) {
    if (count == 3) platform.Remove(kLockPath);
  };
  platform.onFind = [&platform](int count) {
    if (count == 5) platform.AddFile(kLockPath, "");  // the final test
  };
  EXPECT_FALSE(WaitForLockRelease(platform, kLockPath, kLockName));
  EXPECT_EQ(platform.sleeps.size(), 3u);
}

}  // namespace
}  // namespace updater
