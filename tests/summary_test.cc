// The summary box's text: whole when it fits the screen, otherwise cut to
// fit without hiding that anything was left out, failures before updates.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "scenario.h"

namespace updater {
namespace {

using testing::kFailedHeading;
using testing::kUpdatedHeading;

std::vector<std::wstring> Lines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "the text does not end with a line break";
  return lines;
}

// What a summary says, read back: the entries of each section (broken
// entries joined again) and the counts of those left out.
struct ReadBack {
  std::vector<std::wstring> updated, failed;
  std::size_t updatedMore = 0, failedMore = 0;
  bool cut = false;
};

ReadBack Read(const std::wstring& text) {
  static const std::wregex more(
      L"(\\.\\.\\. og )?([0-9]+) fil(er)?( mere)? (er opdateret|kunne ikke opdateres)\\.");
  ReadBack back;
  std::vector<std::wstring>* section = &back.updated;
  std::size_t* count = &back.updatedMore;
  for (const std::wstring& line : Lines(text)) {
    std::wsmatch match;
    if (line + L"\r\n" == kUpdatedHeading || line.empty()) continue;
    if (line + L"\r\n" == kFailedHeading) {
      section = &back.failed;
      count = &back.failedMore;
    } else if (line == testing::kListCut) {
      back.cut = true;
    } else if (std::regex_match(line, match, more)) {
      *count = std::stoul(match[2].str());
    } else if (line.rfind(L"    ", 0) == 0 && !section->empty()) {
      section->back() += line.substr(4);
    } else {
      section->push_back(line);
    }
  }
  return back;
}

std::vector<std::wstring> Paths(std::size_t count, const std::wstring& folder,
                                const std::wstring& suffix = L"") {
  std::vector<std::wstring> paths;
  for (std::size_t i = 0; i < count; ++i) {
    paths.push_back(folder + L"fil" + std::to_wstring(i) + L".dll" + suffix);
  }
  return paths;
}

TEST(SummaryTest, ASummaryThatFitsIsShownWhole) {
  CopyReport report;
  report.updated = {L"C:\\Prog\\Sylkum\\Sylkum.mde", L"C:\\Prog\\Sylkum\\Hj\u00E6lp.chm"};
  report.failed = {L"C:\\Prog\\Sylkum\\Mangler\\a.dll (mappen findes ikke)"};
  EXPECT_EQ(SummaryText(report), std::wstring(kUpdatedHeading) + report.updated[0] + L"\r\n" +
                                     report.updated[1] + L"\r\n\r\n" + kFailedHeading +
                                     report.failed[0] + L"\r\n");
  EXPECT_EQ(SummaryFlags(report), kMbIconWarning);
  report.failed.clear();
  EXPECT_EQ(SummaryFlags(report), kMbIconInformation);
  report.listCut = true;
  EXPECT_EQ(SummaryFlags(report), kMbIconWarning);
}

TEST(SummaryTest, EveryReportFitsAndSaysWhatItLeavesOut) {
  const std::wstring shortFolder = L"C:\\Prog\\Sylkum\\";
  // 300 characters, no room to break it at a "\".
  const std::wstring longFolder = L"C:\\" + std::wstring(300, L'm') + L"\\";
  struct Case {
    const char* what;
    std::size_t updated, failed;
    std::wstring folder;
    bool cut;
  };
  const Case cases[] = {
      {"few", 3, 1, shortFolder, false},
      {"200 updated", 200, 0, shortFolder, false},
      {"190 updated, 10 failed", 190, 10, shortFolder, false},
      {"10 updated, 100 failed", 10, 100, shortFolder, false},
      {"0 updated, 100 failed", 0, 100, shortFolder, true},
      {"long paths", 3, 2, longFolder, false},
      {"many long paths, list cut", 50, 50, longFolder, true},
  };
  for (const Case& c : cases) {
    CopyReport report;
    report.updated = Paths(c.updated, c.folder);
    report.failed = Paths(c.failed, c.folder, L" (adgang n\u00E6gtet)");
    report.listCut = c.cut;
    const std::wstring text = SummaryText(report);

    std::size_t cost = 0;
    for (const std::wstring& line : Lines(text)) {
      EXPECT_LE(line.size(), kSummaryMaxColumns) << c.what;
      cost += line.size() > kSummaryWrapColumns ? 2 : 1;
    }
    EXPECT_LE(cost, kSummaryMaxLines) << c.what;

    // What is shown comes first in the list, and the rest is counted.
    const ReadBack back = Read(text);
    ASSERT_LE(back.updated.size(), report.updated.size()) << c.what;
    ASSERT_LE(back.failed.size(), report.failed.size()) << c.what;
    EXPECT_TRUE(std::equal(back.updated.begin(), back.updated.end(), report.updated.begin()))
        << c.what;
    EXPECT_TRUE(std::equal(back.failed.begin(), back.failed.end(), report.failed.begin()))
        << c.what;
    EXPECT_EQ(back.updated.size() + back.updatedMore, report.updated.size()) << c.what;
    EXPECT_EQ(back.failed.size() + back.failedMore, report.failed.size()) << c.what;
    EXPECT_EQ(back.cut, c.cut) << c.what;
    // The updated files give way first: while one is shown, every failure is.
    if (!back.updated.empty()) {
      EXPECT_EQ(back.failedMore, 0u) << c.what;
    }
    // A count stands for two lines or more: one hidden entry is shown instead.
    EXPECT_NE(back.updatedMore, 1u) << c.what;
  }
}

TEST(SummaryTest, CountsReadAsDanishSentences) {
  CopyReport report;
  report.updated = Paths(40, L"C:\\Prog\\");
  report.failed = Paths(1, L"C:\\Prog\\", L" (filen er i brug)");
  const std::vector<std::wstring> lines = Lines(SummaryText(report));
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[lines.size() - 4], L"... og 21 filer mere er opdateret.");

  report.updated = Paths(3, L"C:\\Prog\\");
  report.failed = Paths(60, L"C:\\Prog\\", L" (filen er i brug)");
  const std::wstring text = SummaryText(report);
  EXPECT_NE(text.find(L"\r\n3 filer er opdateret.\r\n"), std::wstring::npos);
  EXPECT_NE(text.find(L"\r\n... og 41 filer mere kunne ikke opdateres.\r\n"), std::wstring::npos);
}

}  // namespace
}  // namespace updater
