// Whole runs in which one platform call fails: for every call of a run, a
// run is made again with that call failing, and the installation and the
// boxes are checked. Whatever fails, the updater must end cleanly, leave no
// destination half-written and never claim more than it did.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "faulty_platform.h"
#include "scenario.h"
#include "update/staged_names.h"

namespace updater {
namespace {

using testing::FaultyPlatform;
using testing::kFailedHeading;
using testing::kUpdatedHeading;
using testing::Scenario;

struct Entry {
  std::wstring destination;  // full path in the install folder
  std::string oldContent;    // "" when the file does not exist before
  std::string newContent;
};

// The lines of a summary section: from its heading to the next empty line.
std::vector<std::wstring> Section(const std::wstring& summary, const std::wstring& heading) {
  std::vector<std::wstring> lines;
  const std::size_t start = summary.find(heading);
  if (start == std::wstring::npos) return lines;
  std::wstringstream rest(summary.substr(start + heading.size()));
  std::wstring line;
  while (std::getline(rest, line, L'\n')) {
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    if (line.empty()) break;
    lines.push_back(line);
  }
  return lines;
}

class FaultInjectionTest : public ::testing::Test {
 protected:
  // Sets up the scene of one run; `lock` makes the product close only after
  // three polls.
  void SetUpScene(Scenario& s, bool lock) {
    s.Manifest(
        "5.3\r\nsylkum.mde,Sylkum.mde\r\nny.dll,Ny.dll\r\nHELP.CHM,Sub\\Help.chm\r\nslut\r\n");
    s.Payload(L"sylkum.mde", "new mde");
    s.Payload(L"ny.dll", "new dll");
    s.Payload(L"help.chm", "new help");
    s.platform.AddFile(L"C:\\Prog\\Sylkum\\Sylkum.mde", "old mde");
    s.platform.AddFile(L"C:\\Prog\\Sylkum\\Sub\\help.chm", "old help");
    if (lock) {
      s.platform.AddFile(L"C:\\Prog\\Sylkum\\Sylkum.ldb", "");
      s.platform.onSleep = [&s](int count) {
        if (count == 3) s.platform.Remove(L"C:\\Prog\\Sylkum\\Sylkum.ldb");
      };
    }
  }

  // Runs once with call `failAt` failing; returns the number of calls made.
  int RunFailing(bool lock, int failAt) {
    Scenario s;
    SetUpScene(s, lock);
    FaultyPlatform faulty(s.platform, failAt);
    // The steps of each copy count as calls of their own.
    s.platform.copyStep = [&faulty](const wchar_t* step, const std::wstring& path) {
      return !faulty.Fail(step, path);
    };
    bool ended = false;
    try {
      RunUpdate(faulty, BuildConstants{L"OrvakBK", L"Verazuzoduvuzo", {}});
    } catch (const testing::ProgramEnded&) {
      ended = s.platform.ended;
    } catch (...) {
      ADD_FAILURE() << "an exception escaped with call " << failAt << " failing";
    }
    const std::string when = "call " + std::to_string(failAt) + " failing: " +
                             std::string(faulty.failed().begin(), faulty.failed().end());
    EXPECT_TRUE(ended) << when;
    Check(s, when);
    return faulty.calls();
  }

  void Check(const Scenario& s, const std::string& when) {
    const Entry entries[] = {
        {L"C:\\Prog\\Sylkum\\Sylkum.mde", "old mde", "new mde"},
        {L"C:\\Prog\\Sylkum\\Ny.dll", "", "new dll"},
        {L"C:\\Prog\\Sylkum\\Sub\\Help.chm", "old help", "new help"},
    };
    // No destination holds anything but its old or its whole new content,
    // and no temporary file is left behind.
    for (const Entry& e : entries) {
      const std::string content =
          s.platform.HasFile(e.destination) ? s.platform.Content(e.destination) : "";
      EXPECT_TRUE(content == e.oldContent || content == e.newContent) << when;
    }
    for (const auto& [path, file] : s.platform.files()) {
      EXPECT_FALSE(LooksStaged(file.name)) << when << ": left behind: " << EncodeUtf8(path);
    }
    const bool notClosed =
        !s.platform.boxes.empty() && s.platform.boxes.back().prompt == testing::kNotClosed;
    const bool summaryShown =
        !s.platform.boxes.empty() && s.platform.boxes.back().prompt.rfind(kUpdatedHeading, 0) == 0;
    if (notClosed || !summaryShown) {
      // Ended before the copies, or the summary could not be shown: when it
      // ended before copying, nothing may have changed.
      if (notClosed || s.platform.copies.empty()) {
        for (const Entry& e : entries) {
          EXPECT_EQ(s.platform.HasFile(e.destination) ? s.platform.Content(e.destination) : "",
                    e.oldContent)
              << when;
        }
      }
      return;
    }
    const testing::Box& summary = s.platform.boxes.back();
    const std::vector<std::wstring> updated = Section(summary.prompt, kUpdatedHeading);
    const std::vector<std::wstring> notUpdated = Section(summary.prompt, kFailedHeading);
    // The list is held from the check on: no failure after the questions
    // cuts it (a source that cannot be opened or read is a failed copy).
    const bool listCut = false;
    EXPECT_EQ(summary.prompt.find(testing::kListCut) != std::wstring::npos, listCut) << when;
    EXPECT_EQ(summary.flags, notUpdated.empty() && !listCut ? kMbIconInformation : kMbIconWarning)
        << when;
    for (const Entry& e : entries) {
      const bool isNew =
          s.platform.HasFile(e.destination) && s.platform.Content(e.destination) == e.newContent;
      const auto listed = [&e](const std::vector<std::wstring>& lines) {
        for (const std::wstring& line : lines) {
          if (line == e.destination || line.rfind(e.destination + L" (", 0) == 0) return true;
        }
        return false;
      };
      EXPECT_EQ(listed(updated), isNew) << when;  // listed as updated exactly when it is
      if (isNew) {
        EXPECT_FALSE(listed(notUpdated)) << when;
      } else if (!listCut) {
        EXPECT_TRUE(listed(notUpdated)) << when;  // a failure is never silent
      }
    }
  }

  void RunEveryFault(bool lock) {
    const int calls = RunFailing(lock, 0);
    ASSERT_GT(calls, 15);
    for (int failAt = 1; failAt <= calls; ++failAt) RunFailing(lock, failAt);
  }
};

TEST_F(FaultInjectionTest, CleanRunUpdatesEverything) {
  Scenario s;
  SetUpScene(s, false);
  ASSERT_TRUE(s.Run());
  EXPECT_EQ(s.platform.boxes.back().prompt, std::wstring(kUpdatedHeading) +
                                                L"C:\\Prog\\Sylkum\\Sylkum.mde\r\n"
                                                L"C:\\Prog\\Sylkum\\Ny.dll\r\n"
                                                L"C:\\Prog\\Sylkum\\Sub\\Help.chm\r\n");
}

TEST_F(FaultInjectionTest, EveryCallOfAFullUpdateFailingOnce) { RunEveryFault(false); }

TEST_F(FaultInjectionTest, EveryCallOfALockWaitFailingOnce) { RunEveryFault(true); }

}  // namespace
}  // namespace updater
