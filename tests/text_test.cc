#include "platform/text.h"

#include <gtest/gtest.h>

#include "platform/windows_path.h"

namespace updater {
namespace {

TEST(TextTest, Windows1252BothWays) {
  EXPECT_EQ(DecodeWindows1252("\xC6\xD8\xC5\xE6\xF8\xE5"), L"\u00C6\u00D8\u00C5\u00E6\u00F8\u00E5");
  EXPECT_EQ(DecodeWindows1252("\x80\x9F"), L"\u20AC\u0178");
  // The bytes 1252 leaves undefined keep their number.
  EXPECT_EQ(DecodeWindows1252("\x81\x8D\x8F\x90\x9D"), L"\u0081\u008D\u008F\u0090\u009D");
  std::string every;
  for (int b = 0; b < 256; ++b) every.push_back(static_cast<char>(b));
  EXPECT_EQ(EncodeWindows1252(DecodeWindows1252(every)), every);
  EXPECT_EQ(EncodeWindows1252(L"\u20AC \u4E2D"), "\x80 ?");
}

TEST(TextTest, Utf8BothWaysAndMalformedBytes) {
  const std::wstring danish = L"\u00C5se/\u00F8l \u20AC";
  EXPECT_EQ(DecodeUtf8(EncodeUtf8(danish)), danish);
  EXPECT_EQ(EncodeUtf8(L"\u00F8"), "\xC3\xB8");
  EXPECT_EQ(DecodeUtf8("a\xC3"), L"a\uFFFD");                    // cut short
  EXPECT_EQ(DecodeUtf8("\xC0\xAF"), L"\uFFFD\uFFFD");            // overlong
  EXPECT_EQ(DecodeUtf8("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");  // surrogate
  EXPECT_EQ(DecodeUtf8("\xFF"), L"\uFFFD");
}

TEST(TextTest, FoldingIgnoresCaseIncludingDanishLetters) {
  EXPECT_EQ(CompareFolded(L"\u00E6\u00F8\u00E5", L"\u00C6\u00D8\u00C5"), 0);
  EXPECT_EQ(CompareFolded(L"Sylkum.LDB", L"sylkum.ldb"), 0);
  EXPECT_EQ(CompareFolded(L"\u0161\u0153\u017E\u00FF", L"\u0160\u0152\u017D\u0178"), 0);
  EXPECT_NE(CompareFolded(L"\u00F7", L"\u00D7"), 0);  // division and multiplication signs
  // Digits compare one by one: 10 sorts before 9.
  EXPECT_LT(CompareFolded(L"10", L"9"), 0);
  EXPECT_GT(CompareFolded(L"5.3", L"5.2"), 0);
  EXPECT_LT(CompareFolded(L"5", L"5.0"), 0);
  EXPECT_LT(CompareFolded(L"", L"0"), 0);
}

}  // namespace
}  // namespace updater

namespace updater {
namespace {

TEST(TextTest, WildcardsMatchLikeWindows) {
  struct Case {
    const wchar_t* pattern;
    const wchar_t* name;
    bool match;
  };
  const Case cases[] = {
      {L"*.mde", L"Sylkum.MDE", true},
      {L"s?lkum.*", L"sylkum.mde", true},
      {L"*.*", L"noextension", true},
      {L"*", L"", true},
      {L"?", L"", false},
      {L"a*b*c", L"aXbYbZc", true},
      {L"a*b*c", L"aXbYbZ", false},
      {L"\u00E6*", L"\u00C6ble", true},
      {L"sylkum.ldb", L"SYLKUM.LDB", true},
      {L"sylkum.ldb", L"sylkum.ldb2", false},
  };
  for (const Case& c : cases) EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern;
  // Many stars cost no more than a pass per star.
  EXPECT_FALSE(WildcardMatch(std::wstring(200, L'*') + L"x", std::wstring(5000, L'a')));
}

TEST(TextTest, AbsoluteWindowsPaths) {
  const struct {
    const wchar_t* path;
    bool absolute;
  } cases[] = {
      {L"C:\\Prog", true},
      {L"c:/Prog", true},
      {L"C:\\", true},
      {L"\\\\server\\share", true},
      {L"//server/share/x", true},
      {L"\\\\?\\C:\\Prog", true},
      {L"\\\\?\\UNC\\srv\\sh", true},
      {L"", false},
      {L"Sylkum", false},
      {L"C:Sylkum", false},
      {L"C:", false},
      {L"\\Sylkum", false},
      {L"\\\\server", false},
      {L"\\\\server\\", false},
      {L"\\\\.\\C:\\x", false},
      {L"1:\\x", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsWindowsAbsolutePath(c.path), c.absolute) << EncodeUtf8(c.path);
  }
}

}  // namespace
}  // namespace updater
