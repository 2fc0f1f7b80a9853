// Updates that land whole or not at all, on the fake platform: what stands
// in the way keeps every file old and is named in the closing box; any one
// operation failing, or the run killed at any step, never leaves a mix of
// two releases except from a kill inside the commit, and the next run
// lands the update whole.
#include <gtest/gtest.h>

#include <functional>

#include "faulty_platform.h"
#include "scenario.h"
#include "update/staged_names.h"

namespace updater {
namespace {

using testing::kInstall;
using testing::Scenario;

const wchar_t kNothingChanged[] =
    L"Opdateringen kunne ikke gennemf\u00F8res. Ingen filer er \u00E6ndret.";

std::wstring Installed(const std::wstring& name) { return std::wstring(kInstall) + name; }

struct File {
  std::wstring destination;
  std::string oldContent;  // "" when it does not exist before
  std::string newContent;
};

// Three files: one replaced, one new in a sub-folder the update makes, one
// replaced in an existing sub-folder.
const File kFiles[] = {
    {Installed(L"Sylkum.mde"), "old mde", "new mde"},
    {Installed(L"Ny\\Ny.dll"), "", "new dll"},
    {Installed(L"Sub\\Help.chm"), "old help", "new help"},
};

void SetUpScene(Scenario& s) {
  s.Manifest(
      "5.3\r\nsylkum.mde,Sylkum.mde\r\nny.dll,Ny\\Ny.dll\r\nHELP.CHM,Sub\\Help.chm\r\n"
      "slut\r\nhelt-eller-slet-ikke\r\n");
  s.Payload(L"sylkum.mde", "new mde");
  s.Payload(L"ny.dll", "new dll");
  s.Payload(L"help.chm", "new help");
  s.platform.AddFile(Installed(L"Sylkum.mde"), "old mde");
  s.platform.AddFile(Installed(L"Sub\\help.chm"), "old help");
}

std::string ContentOf(const Scenario& s, const std::wstring& path) {
  return s.platform.HasFile(path) ? s.platform.Content(path) : "";
}

bool FilesOld(const Scenario& s) {
  for (const File& f : kFiles) {
    if (ContentOf(s, f.destination) != f.oldContent) return false;
  }
  return true;
}

bool AllOld(const Scenario& s) {
  if (!FilesOld(s)) return false;
  // The folder the update made is gone again.
  return !s.platform.HasFolder(Installed(L"Ny"));
}

bool AllNew(const Scenario& s) {
  for (const File& f : kFiles) {
    if (ContentOf(s, f.destination) != f.newContent) return false;
  }
  return true;
}

// The names of the updater's own files left in the install folder.
std::vector<std::wstring> Leftovers(const Scenario& s, bool staged) {
  std::vector<std::wstring> left;
  for (const auto& [path, file] : s.platform.files()) {
    if (staged ? LooksStaged(file.name) : LooksLeftover(file.name)) left.push_back(path);
  }
  return left;
}

TEST(WholeUpdateTest, WhatStandsInTheWayKeepsEveryFileOldAndIsNamed) {
  struct Case {
    const char* what;
    std::function<void(Scenario&)> setUp;
    std::wstring named;  // the line the box names, after the heading
  };
  const Case cases[] = {
      {"a folder in a destination's place",
       [](Scenario& s) { s.platform.AddFolder(Installed(L"Sub\\Help.chm")); },
       Installed(L"Sub\\Help.chm") + L" (en mappe har filens navn)"},
      {"a file where a folder must be",
       [](Scenario& s) { s.platform.AddFile(Installed(L"Ny"), "a file"); },
       Installed(L"Ny\\Ny.dll") + L" (en fil st\u00E5r i vejen)"},
      {"a link on the way", [](Scenario& s) { s.platform.links.insert(Installed(L"Sub")); },
       Installed(L"Sub\\Help.chm") + L" (mappen f\u00F8rer uden for programmappen)"},
      {"a read-only file",
       [](Scenario& s) { s.platform.readOnly.insert(Installed(L"Sylkum.mde")); },
       Installed(L"Sylkum.mde") + L" (adgang n\u00E6gtet)"},
      {"a destination a program holds the whole time",
       [](Scenario& s) {
         s.platform.replaceFailures[Installed(L"Sub\\Help.chm")] =
             std::deque<CopyError>(12, CopyError::kInUse);
       },
       Installed(L"Sub\\Help.chm") + L" (filen er i brug)"},
      {"the disk full while staging",
       [](Scenario& s) {
         s.platform.stageFailures[Installed(L"Ny\\Ny.dll")] = {CopyError::kNoSpace};
       },
       Installed(L"Ny\\Ny.dll") + L" (disken er fuld)"},
      {"a refused destination",
       [](Scenario& s) {
         s.Manifest(
             "5.3\r\nsylkum.mde,Sylkum.mde\r\nny.dll,..\\Ny.dll\r\nslut\r\n"
             "helt-eller-slet-ikke\r\n");
       },
       std::wstring(kInstall) + L"..\\Ny.dll (ugyldigt filnavn)"},
  };
  for (const Case& c : cases) {
    Scenario s;
    SetUpScene(s);
    c.setUp(s);
    ASSERT_TRUE(s.Run()) << c.what;
    ASSERT_EQ(s.platform.boxes.size(), 3u) << c.what;
    const testing::Box& box = s.platform.boxes.back();
    EXPECT_EQ(box.prompt.rfind(kNothingChanged, 0), 0u) << c.what << EncodeUtf8(box.prompt);
    EXPECT_NE(box.prompt.find(std::wstring(testing::kFailedHeading) + c.named + L"\r\n"),
              std::wstring::npos)
        << c.what << ": " << EncodeUtf8(box.prompt);
    EXPECT_EQ(box.flags, kMbIconError) << c.what;
    EXPECT_EQ(ContentOf(s, Installed(L"Sylkum.mde")), "old mde") << c.what;
    EXPECT_FALSE(s.platform.HasFile(Installed(L"Ny\\Ny.dll"))) << c.what;
    EXPECT_TRUE(Leftovers(s, false).empty()) << c.what;
  }
}

TEST(WholeUpdateTest, ADiskTooSmallStagesNothingAndSaysSo) {
  Scenario s;
  SetUpScene(s);
  s.platform.freeSpace = 16u << 20;  // the files fit, the margin does not
  ASSERT_TRUE(s.Run());
  const std::wstring& prompt = s.platform.boxes.back().prompt;
  EXPECT_EQ(prompt.rfind(kNothingChanged, 0), 0u);
  EXPECT_NE(prompt.find(L"Der er ikke plads nok p\u00E5 disken: opdateringen kr\u00E6ver 17 MB, "
                        L"og der er 16 MB fri."),
            std::wstring::npos)
      << EncodeUtf8(prompt);
  EXPECT_TRUE(s.platform.copies.empty());
  EXPECT_TRUE(AllOld(s));
  // With room it lands.
  Scenario roomy;
  SetUpScene(roomy);
  roomy.platform.freeSpace = 17u << 20;
  ASSERT_TRUE(roomy.Run());
  EXPECT_TRUE(AllNew(roomy));
}

// Undoing can fail too: the box then never says that nothing changed, and
// names the file that was changed.
TEST(WholeUpdateTest, AFileThatCannotBePutBackIsNamed) {
  Scenario s;
  SetUpScene(s);
  // The last rename into place fails; putting back the first file fails
  // after that (its renames: aside, in, then back).
  s.platform.replaceFailures[Installed(L"Sub\\Help.chm")] =
      std::deque<CopyError>(12, CopyError::kAccessDenied);
  int renames = 0;
  s.platform.copyStep = [&](const wchar_t* step, const std::wstring& path) {
    return !(std::wstring(step) == L"Rename" && path == Installed(L"Sylkum.mde") && ++renames >= 2);
  };
  ASSERT_TRUE(s.Run());
  const std::wstring& prompt = s.platform.boxes.back().prompt;
  EXPECT_EQ(prompt.find(L"Ingen filer er \u00E6ndret"), std::wstring::npos) << EncodeUtf8(prompt);
  EXPECT_NE(
      prompt.find(L"F\u00F8lgende filer er \u00E6ndret og kunne ikke s\u00E6ttes tilbage:\r\n" +
                  Installed(L"Sylkum.mde") + L" (filen er i brug)"),
      std::wstring::npos)
      << EncodeUtf8(prompt);
  EXPECT_EQ(ContentOf(s, Installed(L"Sylkum.mde")), "new mde");
}

// Any one operation of a run failing: afterwards every file is old (or, when
// only the clean-up after landing failed, every file is new), no staged file
// is left, and a box that says nothing changed names a file of the update.
TEST(WholeUpdateTest, EveryCallFailingOnceLeavesAllOldOrAllNew) {
  int calls = 0;
  for (int failAt = 0; failAt == 0 || failAt <= calls; ++failAt) {
    Scenario s;
    SetUpScene(s);
    testing::FaultyPlatform faulty(s.platform, failAt);
    s.platform.copyStep = [&faulty](const wchar_t* step, const std::wstring& path) {
      return !faulty.Fail(step, path);
    };
    try {
      RunUpdate(faulty, BuildConstants{L"OrvakBK", L"Verazuzoduvuzo", {}});
    } catch (const testing::ProgramEnded&) {
    }
    if (failAt == 0) calls = faulty.calls();
    const std::string when = "call " + std::to_string(failAt) + ": " + EncodeUtf8(faulty.failed());
    EXPECT_TRUE(s.platform.ended) << when;
    const bool landed = AllNew(s);
    EXPECT_TRUE(landed || AllOld(s)) << when;
    EXPECT_TRUE(Leftovers(s, true).empty()) << when;
    if (!landed) {
      EXPECT_TRUE(Leftovers(s, false).empty()) << when;
    }
    if (s.platform.boxes.size() == 3 && !landed) {
      const std::wstring& prompt = s.platform.boxes.back().prompt;
      if (prompt.rfind(kNothingChanged, 0) == 0) {
        bool named = false;
        for (const File& f : kFiles) {
          named = named || prompt.find(f.destination + L" (") != std::wstring::npos;
        }
        EXPECT_TRUE(named) << when << ": " << EncodeUtf8(prompt);
      }
    }
  }
  EXPECT_GT(calls, 40);
}

// Killed at any step of the copy pass: every file old unless the kill came
// inside the commit; the next run lands the update whole and leaves exactly
// the new tree.
TEST(WholeUpdateTest, KilledAtAnyStepTheNextRunLandsItWhole) {
  int steps = 0;
  for (int killAt = 0; killAt == 0 || killAt <= steps; ++killAt) {
    Scenario s;
    SetUpScene(s);
    const auto before = s.platform.files();
    int step = 0;
    bool committing = false;
    int asideAt = -2;  // the step that moved an old file aside
    s.platform.copyStep = [&](const wchar_t* what, const std::wstring& path) {
      if (++step == killAt) throw testing::ProgramEnded{};
      // The first rename starts the commit.
      if (std::wstring(what) == L"Rename") {
        committing = true;
        if (LooksLeftover(path)) asideAt = step;
      }
      return true;
    };
    ASSERT_TRUE(s.Run() || killAt != 0);
    if (killAt == 0) {
      steps = step;
      continue;
    }
    const std::string when = "killed at step " + std::to_string(killAt);
    // Between a file's two renames it is missing, its old file aside.
    const bool between = killAt == asideAt + 1;
    for (const File& f : kFiles) {
      const std::string content = ContentOf(s, f.destination);
      EXPECT_TRUE(content == f.oldContent || content == f.newContent ||
                  (between && content.empty()))
          << when;
    }
    // (A folder made for a new file may stay, empty, until the next run.)
    if (!committing) {
      EXPECT_TRUE(FilesOld(s)) << when;
    }
    s.platform.copyStep = nullptr;
    s.platform.boxes.clear();
    s.platform.ended = false;
    if (between) {
      // A next run that cannot land puts the missing file's old one back.
      s.platform.freeSpace = 0;
      ASSERT_TRUE(s.Run()) << when;
      for (const File& f : kFiles) {
        const std::string content = ContentOf(s, f.destination);
        EXPECT_TRUE(content == f.oldContent || content == f.newContent) << when;
      }
      s.platform.freeSpace = std::uint64_t{1} << 40;
      s.platform.ended = false;
    }
    ASSERT_TRUE(s.Run()) << when;
    EXPECT_TRUE(AllNew(s)) << when;
    // Exactly the new tree: the old files and the payload, no more.
    std::size_t expected = before.size() + 1;  // Ny\Ny.dll is new
    EXPECT_EQ(s.platform.files().size(), expected) << when;
    EXPECT_TRUE(Leftovers(s, false).empty()) << when;
  }
  EXPECT_GT(steps, 20);
}

}  // namespace
}  // namespace updater

namespace updater {
namespace {

// The old file a killed commit left aside is never removed while its
// destination is missing, even when it cannot be put back now.
TEST(WholeUpdateTest, AnOldFileAsideIsKeptWhileItCannotGoBack) {
  Scenario s;
  SetUpScene(s);
  const std::wstring aside = Installed(AsideName(L"Sylkum.mde", 7));
  s.platform.Remove(Installed(L"Sylkum.mde"));
  s.platform.AddFile(aside, "old mde");
  s.platform.replaceFailures[Installed(L"Sylkum.mde")] =
      std::deque<CopyError>(40, CopyError::kAccessDenied);
  ASSERT_TRUE(s.Run());
  EXPECT_EQ(ContentOf(s, aside), "old mde");
  EXPECT_FALSE(s.platform.HasFile(Installed(L"Sylkum.mde")));
}

}  // namespace
}  // namespace updater
