// The application half of a run: the wait, the copies and the summary.
#include <gtest/gtest.h>

#include "scenario.h"

namespace updater {
namespace {

using testing::kFailedHeading;
using testing::kInstall;
using testing::kUpdatedHeading;
using testing::Scenario;

std::wstring Installed(const std::wstring& name) { return std::wstring(kInstall) + name; }

// The last box of a run: the summary or the not-closed error.
const testing::Box& LastBox(const Scenario& s) { return s.platform.boxes.back(); }

class UpdateApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override { s.platform.AddFile(Installed(L"Sylkum.mde"), "old mde"); }

  // Runs the standard manifest's update and checks what it did.
  void FullUpdate();

  // Runs and checks that the three boxes came; returns the summary box.
  const testing::Box& RunToSummary() {
    EXPECT_TRUE(s.Run());
    EXPECT_EQ(s.platform.boxes.size(), 3u);
    EXPECT_EQ(LastBox(s).title, testing::kTitle);
    return LastBox(s);
  }

  Scenario s;
};

TEST_F(UpdateApplicationTest, FullUpdateCopiesAndListsEveryFileInOrder) {
  // The manifest is Windows-1252 also on a PC whose ANSI code page is UTF-8.
  s.platform.ansiIsUtf8 = true;
  s.Manifest("5.3\r\nsylkum.mde,Sylkum.mde\r\nHJ\xC6LP.CHM,Hj\xE6lp.chm\r\nslut\r\n");
  FullUpdate();
}

TEST_F(UpdateApplicationTest, AManifestSavedAsUtf8WithItsMarkReadsTheSame) {
  s.Manifest(
      "\xEF\xBB\xBF"
      "5.3\r\nsylkum.mde,Sylkum.mde\r\nHJ\xC3\x86LP.CHM,Hj\xC3\xA6lp.chm\r\nslut\r\n");
  FullUpdate();
}

void UpdateApplicationTest::FullUpdate() {
  s.Payload(L"sylkum.mde", "new mde");
  s.Payload(L"hj\u00E6lp.chm", "new help");
  const testing::Box& summary = RunToSummary();
  EXPECT_EQ(summary.prompt, std::wstring(kUpdatedHeading) + L"C:\\Prog\\Sylkum\\Sylkum.mde\r\n" +
                                L"C:\\Prog\\Sylkum\\Hj\u00E6lp.chm\r\n");
  EXPECT_EQ(summary.flags, kMbIconInformation);
  EXPECT_EQ(s.platform.Content(Installed(L"Sylkum.mde")), "new mde");
  EXPECT_EQ(s.platform.Content(Installed(L"Hj\u00E6lp.chm")), "new help");
  EXPECT_TRUE(s.platform.sleeps.empty());
}

TEST_F(UpdateApplicationTest, EmptyListShowsTheHeadingAlone) {
  s.Manifest("5.3\r\nslut\r\n");
  EXPECT_EQ(RunToSummary().prompt, kUpdatedHeading);
  EXPECT_TRUE(s.platform.copies.empty());
}

TEST_F(UpdateApplicationTest, EntriesThatAreNotThereArePassedOverWithoutATrace) {
  s.Manifest(
      "5.3\r\n"
      "missing.dll,missing.dll\r\n"  // no such payload
      ",empty.dll\r\n"               // empty source
      "data\\x.mdb,x.mdb\r\n"        // a folder part never matches the bare name
      "*.mde,wild.mde\r\n"           // a pattern is not the name it finds
      "sylkum.mde,Sylkum.mde\r\n"
      "slut\r\n");
  s.Payload(L"sylkum.mde", "new mde");
  s.platform.AddFile(Scenario::TempFile(L"data\\x.mdb"), "x");
  EXPECT_EQ(RunToSummary().prompt,
            std::wstring(kUpdatedHeading) + L"C:\\Prog\\Sylkum\\Sylkum.mde\r\n");
  EXPECT_EQ(s.platform.copies, std::vector<std::wstring>{Installed(L"Sylkum.mde")});
}

TEST_F(UpdateApplicationTest, FailedCopiesAreListedApartWithTheirReasonAndAWarning) {
  s.Manifest(
      "5.3\r\n"
      "a.dll,Sub\\a.dll\r\n"  // the sub-folder does not exist: no folder is made
      "b.dll,b.dll\r\n"
      "c.dll,c.dll\r\n"
      "slut\r\n");
  s.Payload(L"a.dll", "a");
  s.Payload(L"b.dll", "b");
  s.Payload(L"c.dll", "c");
  s.platform.stageFailures[Installed(L"c.dll")] = {CopyError::kAccessDenied};
  const testing::Box& summary = RunToSummary();
  EXPECT_EQ(summary.prompt, std::wstring(kUpdatedHeading) + L"C:\\Prog\\Sylkum\\b.dll\r\n\r\n" +
                                kFailedHeading +
                                L"C:\\Prog\\Sylkum\\Sub\\a.dll (mappen findes ikke)\r\n"
                                L"C:\\Prog\\Sylkum\\c.dll (adgang n\u00E6gtet)\r\n");
  EXPECT_EQ(summary.flags, kMbIconWarning);
  EXPECT_FALSE(s.platform.HasFile(Installed(L"Sub\\a.dll")));
  EXPECT_FALSE(s.platform.HasFile(Installed(L"c.dll")));
}

TEST_F(UpdateApplicationTest, DestinationsOutsideTheInstallFolderAreRefused) {
  const char* const unsafe[] = {
      "",           "\\Windows\\x.dll", "/etc/x",         "C:x.dll", "D:\\x.dll",
      "a.dll:ads",  "..\\x.dll",        "sub\\..\\..\\x", "../x",    "sub/../../x",
      "...\\x.dll", ". .\\x.dll",       "sub\\",          "a\\\\b",  "con.dll",
      "Sub\\LPT1",  "a*.dll",           "a?.dll",         "a|b",     "a\"b",
  };
  for (const char* name : unsafe) {
    Scenario t;
    t.Manifest(std::string("5.3\r\nsylkum.mde,") + name + "\r\nslut\r\n");
    t.Payload(L"sylkum.mde", "new");
    ASSERT_TRUE(t.Run()) << name;
    EXPECT_TRUE(t.platform.copies.empty()) << name;
    EXPECT_NE(LastBox(t).prompt.find(L"(ugyldigt filnavn)"), std::wstring::npos) << name;
    EXPECT_EQ(LastBox(t).flags, kMbIconWarning) << name;
  }
}

TEST_F(UpdateApplicationTest, ARefusedNameCannotBreakTheSummaryLines) {
  s.Manifest("5.3\r\nsylkum.mde,\"x\r\nC:\\fake.dll\"\r\nslut\r\n");
  s.Payload(L"sylkum.mde", "new");
  EXPECT_EQ(RunToSummary().prompt, std::wstring(kUpdatedHeading) + L"\r\n" + kFailedHeading +
                                       L"C:\\Prog\\Sylkum\\x??C:\\fake.dll (ugyldigt filnavn)\r\n");
}

TEST(IsSafeDestinationTest, OrdinaryNamesPass) {
  for (const wchar_t* name : {L"Sylkum.mde", L"Sub\\Hj\u00E6lp.chm", L"a/b.txt", L".hidden",
                              L"x..y", L"a.b.c", L"console.txt", L"COM10", L"LPT0.x"}) {
    EXPECT_TRUE(IsSafeDestination(name)) << name;
  }
}

// A busy destination costs renames, not copies: each payload file is read
// and written once however long the destination stays busy, and nothing of
// the copy is left when it never gets free.
TEST_F(UpdateApplicationTest, BusyDestinationIsRenamedOverAgainButCopiedOnce) {
  s.Manifest("5.3\r\na.dll,a.dll\r\nb.dll,b.dll\r\nslut\r\n");
  s.Payload(L"a.dll", "aaaa");
  s.Payload(L"b.dll", "bbbbbb");
  s.platform.replaceFailures[Installed(L"a.dll")] = std::deque<CopyError>(3, CopyError::kInUse);
  s.platform.replaceFailures[Installed(L"b.dll")] =
      std::deque<CopyError>(6, CopyError::kInUse);  // busy the whole time
  const testing::Box& summary = RunToSummary();
  EXPECT_EQ(summary.prompt, std::wstring(kUpdatedHeading) + L"C:\\Prog\\Sylkum\\a.dll\r\n\r\n" +
                                kFailedHeading + L"C:\\Prog\\Sylkum\\b.dll (filen er i brug)\r\n");
  EXPECT_EQ(s.platform.Content(Installed(L"a.dll")), "aaaa");
  EXPECT_EQ(s.platform.sleeps, std::vector<unsigned>(3 + 5, 200));
  EXPECT_EQ(s.platform.copies.size(), 2u);
  for (const wchar_t* source : {L"a.dll", L"b.dll"}) {
    EXPECT_EQ(
        std::count(s.platform.opened.begin(), s.platform.opened.end(), Scenario::TempFile(source)),
        1);
  }
  for (const auto& [path, file] : s.platform.files()) {
    EXPECT_EQ(file.name.find(L"updater-tmp"), std::wstring::npos) << EncodeUtf8(path);
  }
}

TEST_F(UpdateApplicationTest, OtherErrorsAreNotTriedAgain) {
  s.Manifest("5.3\r\na.dll,a.dll\r\nslut\r\n");
  s.Payload(L"a.dll", "a");
  s.platform.stageFailures[Installed(L"a.dll")] = {CopyError::kNoSpace};
  EXPECT_NE(RunToSummary().prompt.find(L"(disken er fuld)"), std::wstring::npos);
  EXPECT_EQ(s.platform.copies.size(), 1u);
}

TEST_F(UpdateApplicationTest, ExistingDestinationIsReplacedKeepingItsName) {
  s.Manifest("5.3\r\nSYLKUM.MDE,SYLKUM.MDE\r\nslut\r\n");
  s.Payload(L"sylkum.mde", "new mde");
  RunToSummary();
  EXPECT_EQ(s.platform.Content(Installed(L"Sylkum.mde")), "new mde");
  EXPECT_EQ(s.platform.files().at(Installed(L"Sylkum.mde")).name, L"Sylkum.mde");
}

// A presence test that cannot be made lets the copy decide, but only for a
// bare name: a source with a folder part or wildcards never gets that far.
TEST_F(UpdateApplicationTest, FailedPresenceTestLetsTheCopyDecide) {
  s.Manifest(
      "5.3\r\na.dll,a.dll\r\nb.dll,b.dll\r\n..\\locked\\.secret,stolen\r\n*.dll,w.dll\r\n"
      "slut\r\n");
  s.Payload(L"a.dll", "a");
  s.platform.AddFile(L"C:\\Users\\\u00C5se\\AppData\\Local\\locked\\.secret", "secret", true);
  s.platform.failingFinds = {Scenario::TempFile(L"a.dll"), Scenario::TempFile(L"b.dll"),
                             Scenario::TempFile(L"..\\locked\\.secret"),
                             Scenario::TempFile(L"*.dll")};
  EXPECT_EQ(RunToSummary().prompt, std::wstring(kUpdatedHeading) +
                                       L"C:\\Prog\\Sylkum\\a.dll\r\n\r\n" + kFailedHeading +
                                       L"C:\\Prog\\Sylkum\\b.dll (kildefilen mangler)\r\n");
}

// Only a list that "slut" ends is applied: one that ends before it (a
// manifest still being written, or cut short) is not offered at all.
TEST_F(UpdateApplicationTest, TheListEndsAtTheTerminatorOrTheUpdateIsNotOffered) {
  struct Case {
    std::string manifest;
    std::optional<std::wstring> summary;  // no value: not offered
  };
  const std::wstring a = L"C:\\Prog\\Sylkum\\a.dll\r\n";
  const Case cases[] = {
      {"5.3\r\na.dll,a.dll\r\nSLUT\r\nb.dll,b.dll\r\n", kUpdatedHeading + a},
      {"5.3\r\na.dll,a.dll\r\nslut,whatever\r\nb.dll,b.dll\r\n", kUpdatedHeading + a},
      {"5.3\r\na.dll,a.dll\r\nslut", kUpdatedHeading + a},
      {"5.3\r\na.dll,a.dll\r\n", std::nullopt},  // no terminator
      {"5.3\r\na.dll,a.dll", std::nullopt},
      {"5.3\r\na.dll,a.dll\r\nb.dll", std::nullopt},
      {"5.3\r\na.dll,a.dll\r\nb.dll,b.d", std::nullopt},
      {"5.3\r\na.dll,a.dll\r\nsl", std::nullopt},
      {"5.3\r\na.dll,a.dll\r\n\"slut", std::nullopt},  // a quote the file ended in
      {"5.3\r\na.dll,a.dll\r\n\"slut\"", kUpdatedHeading + a},
  };
  for (const Case& c : cases) {
    Scenario t;
    t.Manifest(c.manifest);
    t.Payload(L"a.dll", "a");
    t.Payload(L"b.dll", "b");
    ASSERT_TRUE(t.Run());
    if (c.summary) {
      EXPECT_EQ(LastBox(t).prompt, *c.summary) << c.manifest;
    } else {
      EXPECT_TRUE(t.platform.boxes.empty()) << c.manifest;
      EXPECT_FALSE(t.platform.HasFile(Installed(L"a.dll"))) << c.manifest;
    }
  }
}

// The list that was checked is the one applied: a manifest cut while the
// updater waits changes nothing, and its cut name is never used.
TEST_F(UpdateApplicationTest, ManifestChangedDuringTheWaitChangesNothing) {
  s.Manifest("5.3\r\nsylkum.mde,Sylkum.mde\r\nslut\r\n");
  s.Payload(L"sylkum.mde", "new");
  s.platform.AddFile(Installed(L"Sylkum.ldb"), "");
  s.platform.onSleep = [this](int) {
    s.platform.Remove(Installed(L"Sylkum.ldb"));
    s.Manifest("5.3\r\nsylkum.mde,Sylk");  // cut in the middle of a name
  };
  EXPECT_EQ(RunToSummary().prompt, kUpdatedHeading + Installed(L"Sylkum.mde") + L"\r\n");
  EXPECT_EQ(s.platform.Content(Installed(L"Sylkum.mde")), "new");
  EXPECT_FALSE(s.platform.HasFile(Installed(L"Sylk")));
}

TEST_F(UpdateApplicationTest, ProductStillRunningGivesTheErrorAndTouchesNothing) {
  s.Manifest("5.3\r\nsylkum.mde,Sylkum.mde\r\nslut\r\n");
  s.Payload(L"sylkum.mde", "new");
  s.platform.AddFile(Installed(L"sylkum.LDB"), "");
  EXPECT_TRUE(s.Run());
  ASSERT_EQ(s.platform.boxes.size(), 3u);
  EXPECT_EQ(LastBox(s).prompt, testing::kNotClosed);
  EXPECT_EQ(LastBox(s).flags, kMbIconError);
  EXPECT_EQ(LastBox(s).title, testing::kTitle);
  EXPECT_TRUE(s.platform.copies.empty());
  EXPECT_EQ(s.platform.Content(Installed(L"Sylkum.mde")), "old mde");
  EXPECT_EQ(s.platform.SleptMs(), 1500u * 400u);
}

TEST_F(UpdateApplicationTest, ProductClosedDuringTheWaitIsUpdated) {
  s.Manifest("5.3\r\nsylkum.mde,Sylkum.mde\r\nslut\r\n");
  s.Payload(L"sylkum.mde", "new");
  s.platform.AddFile(Installed(L"Sylkum.ldb"), "");
  s.platform.onSleep = [this](int count) {
    if (count == 5) s.platform.Remove(Installed(L"Sylkum.ldb"));
  };
  RunToSummary();
  EXPECT_EQ(s.platform.sleeps.size(), 5u);
  EXPECT_EQ(s.platform.Content(Installed(L"Sylkum.mde")), "new");
}

}  // namespace
}  // namespace updater
