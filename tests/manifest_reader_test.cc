#include "manifest/manifest_reader.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "faulty_platform.h"

namespace updater {
namespace {

using testing::FakePlatform;

const wchar_t kPath[] = L"C:\\Temp\\OrvakBK.ini";

// Every field of `content`, read until the reader has no field left.
std::vector<std::wstring> Fields(const std::string& content) {
  FakePlatform platform;
  platform.AddFile(kPath, content);
  ManifestReader reader(platform);
  EXPECT_TRUE(reader.open(kPath));
  std::vector<std::wstring> fields;
  while (std::optional<std::wstring> field = reader.readField()) {
    fields.push_back(*field);
    if (fields.size() > 100) break;  // a reader that never ends fails here
  }
  reader.close();
  return fields;
}

struct SyntaxCase {
  const char* what;
  std::string content;
  std::vector<std::wstring> fields;
};

TEST(ManifestReaderTest, FieldSyntax) {
  const SyntaxCase cases[] = {
      {"usual shape",
       "5.3\r\nSylkum.mde,Sylkum.mde\r\nslut\r\n",
       {L"5.3", L"Sylkum.mde", L"Sylkum.mde", L"slut"}},
      {"empty file", "", {}},
      {"no final line end", "5.3\r\nslut", {L"5.3", L"slut"}},
      {"unquoted comma splits the version", "5,3\r\nslut\r\n", {L"5", L"3", L"slut"}},
      {"quoted comma stays", "\"5,3\"\r\nslut\r\n", {L"5,3", L"slut"}},
      {"spaces around a field",
       "   5.3   \r\n  a.txt ,  b.txt  \r\n",
       {L"5.3", L"a.txt", L"b.txt"}},
      {"spaces inside stay", "a b.txt,c  d.txt\r\n", {L"a b.txt", L"c  d.txt"}},
      {"quoted line end stays", "\"line\r\nbreak\",x\r\n", {L"line\r\nbreak", L"x"}},
      {"after closing quote dropped", "\"a.txt\" junk,b.txt\r\n", {L"a.txt", L"b.txt"}},
      {"quoted spaces stay", "\"  a  \",b\r\n", {L"  a  ", L"b"}},
      {"two commas give an empty field", "a,,b\r\n", {L"a", L"", L"b"}},
      {"empty line gives an empty field", "5.3\r\n\r\nslut\r\n", {L"5.3", L"", L"slut"}},
      {"comma at line end", "a,\r\nb\r\n", {L"a", L"", L"b"}},
      {"lone LF line ends", "5.3\na,b\nslut\n", {L"5.3", L"a", L"b", L"slut"}},
      {"lone CR line ends", "5.3\ra,b\rslut\r", {L"5.3", L"a", L"b", L"slut"}},
      {"tabs around a field", "\t5.3\t\r\na\tb,c\r\n", {L"5.3", L"a\tb", L"c"}},
      {"end-of-file mark",
       "5.3\r\nslut\r\n\x1A"
       "garbage\r\n",
       {L"5.3", L"slut"}},
      {"unterminated quote runs to the end", "\"abc\r\ndef", {L"abc\r\ndef"}},
      {"UTF-8 declared by its byte-order mark",
       "\xEF\xBB\xBF"
       "5.3\r\nhj\xC3\xA6lp.chm,x\r\n",
       {L"5.3", L"hj\u00E6lp.chm", L"x"}},
      {"the mark's first bytes alone are Windows-1252",
       "\xEF\xBB"
       "5.3\r\n",
       {L"\u00EF\u00BB"
        L"5.3"}},
      {"Windows-1252 letters",
       "5.3\r\n\xF8l.txt,\xC6\xD8\xC5.txt\r\n",
       {L"5.3", L"\u00F8l.txt", L"\u00C6\u00D8\u00C5.txt"}},
  };
  for (const SyntaxCase& c : cases) {
    EXPECT_EQ(Fields(c.content), c.fields) << c.what;
  }
}

TEST(ManifestReaderTest, FieldsLongerThanTheBufferReadWhole) {
  const std::string longName(10000, 'x');
  EXPECT_EQ(Fields("1\r\n" + longName + ",b\r\n"),
            (std::vector<std::wstring>{L"1", std::wstring(10000, L'x'), L"b"}));
}

TEST(ManifestReaderTest, AnEndlessLineEndsTheReadingInsteadOfGrowing) {
  const std::string endless(ManifestReader::kMaxFieldBytes + 10, '9');
  EXPECT_EQ(Fields("5.3\r\n" + endless + ",b\r\nslut\r\n"), std::vector<std::wstring>{L"5.3"});
  EXPECT_EQ(Fields("\"" + endless + "\""), std::vector<std::wstring>{});
}

TEST(ManifestReaderTest, OpenFailsForAMissingFileAndEachOpenStartsAgain) {
  FakePlatform platform;
  ManifestReader reader(platform);
  EXPECT_FALSE(reader.open(L"C:\\Temp\\none.ini"));
  EXPECT_FALSE(reader.readField().has_value());

  platform.AddFile(kPath, "5.3\r\na,b\r\n");
  ASSERT_TRUE(reader.open(kPath));
  EXPECT_EQ(reader.readField(), std::optional<std::wstring>(L"5.3"));
  reader.close();
  ASSERT_TRUE(reader.open(kPath));
  EXPECT_EQ(reader.readField(), std::optional<std::wstring>(L"5.3"));
  EXPECT_EQ(reader.readField(), std::optional<std::wstring>(L"a"));
}

// A read that fails part-way through a field: that field is not given (a
// shortened name would name another file), and the reader tells a failure
// from a file that simply ends.
TEST(ManifestReaderTest, AFieldCutByAFailedReadIsNotGiven) {
  FakePlatform inner;
  // The second read of the file would give the end of the long field.
  inner.AddFile(kPath, "5.3\r\n" + std::string(5000, 'x') + ",dest\r\nslut\r\n");
  testing::FaultyPlatform platform(inner, 3);  // 1: open, 2: first read, 3: second read
  ManifestReader reader(platform);
  ASSERT_TRUE(reader.open(kPath));
  EXPECT_EQ(reader.readField(), std::optional<std::wstring>(L"5.3"));
  EXPECT_FALSE(reader.failed());
  EXPECT_FALSE(reader.readField().has_value());
  EXPECT_TRUE(reader.failed());
  EXPECT_FALSE(reader.readField().has_value());

  ASSERT_TRUE(reader.open(kPath));  // a new pass starts clean
  EXPECT_FALSE(reader.failed());
  inner.AddFile(kPath, "5.3\r\nslut");
  ASSERT_TRUE(reader.open(kPath));
  while (reader.readField()) {
  }
  EXPECT_FALSE(reader.failed()) << "a file without a final line end just ends";
}

}  // namespace
}  // namespace updater
