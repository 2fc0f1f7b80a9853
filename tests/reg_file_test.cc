#include "platform/reg_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace updater {
namespace {

using Bytes = std::vector<unsigned char>;

constexpr char kV5[] = "Windows Registry Editor Version 5.00\r\n\r\n";

const RegFileValue* Find(const RegFile& file, const std::wstring& path, const std::wstring& name) {
  const RegFileKey* key = file.FindKey(path);
  if (!key) return nullptr;
  const auto it = key->values.find(name);
  return it == key->values.end() ? nullptr : &it->second;
}

// UTF-16LE file bytes with a byte-order mark.
std::string Utf16File(const std::u16string& units) {
  std::string bytes = "\xFF\xFE";
  for (char16_t u : units) bytes += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
  return bytes;
}

TEST(RegFileTest, Utf16WithBomKeepsDanishLettersAndSurrogatePairs) {
  const auto file = ParseRegFile(Utf16File(
      u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\K\u00F8b]\r\n"
      u"\"Sti\"=\"B\u00F8r\"\r\n[HKCU\\\U0001F600]\r\n\"\U0001F600\"=\"\U0001F600\"\r\n"));
  ASSERT_TRUE(file);
  const RegFileValue* value = Find(*file, L"SOFTWARE\\K\u00D8B", L"sti");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->type, 1u);
  EXPECT_EQ(value->data, (Bytes{'B', 0, 0xF8, 0, 'r', 0, 0, 0}));
  value = Find(*file, L"\U0001F600", L"\U0001F600");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->data, (Bytes{0x3D, 0xD8, 0x00, 0xDE, 0, 0}));
}

// One value line "v"=`data` under a key, and the value it must give.
struct ValueCase {
  const char* data;
  std::uint32_t type;
  Bytes bytes;
};

void ExpectValues(const std::string& head, const std::vector<ValueCase>& cases) {
  for (const ValueCase& c : cases) {
    const auto file = ParseRegFile(head + "[HKCU\\Key]\n\"v\"=" + c.data + "\n");
    ASSERT_TRUE(file) << c.data;
    const RegFileValue* value = Find(*file, L"KEY", L"V");
    ASSERT_TRUE(value) << c.data;
    EXPECT_EQ(value->type, c.type) << c.data;
    EXPECT_EQ(value->data, c.bytes) << c.data;
  }
}

TEST(RegFileTest, Regedit4IsAnsiAndStringsAreStoredAsUtf16) {
  const std::vector<ValueCase> cases = {
      {"\"\xE6\x80\"", 1, {0xE6, 0, 0xAC, 0x20, 0, 0}},  // 0x80 is the euro sign
      {"hex(2):25,f8,25,00", 2, {'%', 0, 0xF8, 0, '%', 0, 0, 0}},
      {"hex(7):41,00,00", 7, {'A', 0, 0, 0, 0, 0}},
      {"hex(1):e6,00", 1, {0xE6, 0, 0, 0}},
      {"hex:f8,80", 3, {0xF8, 0x80}},  // binary is left alone
  };
  ExpectValues("REGEDIT4\r\n\r\n", cases);
}

TEST(RegFileTest, DataForms) {
  const std::vector<ValueCase> cases = {
      {"\"\xC3\xB8\"", 1, {0xF8, 0, 0, 0}},  // UTF-8 without a byte-order mark
      {"\"a\\\\b\\\"c\"", 1, {'a', 0, '\\', 0, 'b', 0, '"', 0, 'c', 0, 0, 0}},
      {"dword:0000002a", 4, {0x2A, 0, 0, 0}},
      {"DWORD:FfFfFfFe", 4, {0xFE, 0xFF, 0xFF, 0xFF}},
      {"dword:1", 4, {1, 0, 0, 0}},
      {"hex:de,AD , be,\tef", 3, {0xDE, 0xAD, 0xBE, 0xEF}},
      {"hex:", 3, {}},
      {"hex(2):41,00,00,00", 2, {'A', 0, 0, 0}},  // not converted in a 5.00 file
      {"hex(b):01,02,00,00,00,00,00,80", 11, {1, 2, 0, 0, 0, 0, 0, 0x80}},
      {"HEX(0):", 0, {}},
      {"hex(ffff0001):7", 0xFFFF0001u, {7}},
      {"hex:01,02,\\\r\n  03,\\\n\t04", 3, {1, 2, 3, 4}},
      {"hex(7):\\\n  61,00,\\\n\\\n  00,00", 7, {'a', 0, 0, 0}},
  };
  ExpectValues(kV5, cases);
}

TEST(RegFileTest, KeysAndNamesInUtf8WithBom) {
  const auto file =
      ParseRegFile("\xEF\xBB\xBF" + std::string(kV5) +
                   "  ; a comment\n"
                   "[HKCU\\Software\\App\\]\n\"Q\\\"x\\\\y\xC3\xB8\"=dword:1\n@=\"d\"\n"
                   "[hkey_current_user\\SOFTWARE\\app]\n\"Second\" = dword:2\n"
                   "[HKEY_CURRENT_USER\\Software\\Empty]\n"
                   "[HKEY_CURRENT_USER]\n\"AtRoot\"=dword:3\n");
  ASSERT_TRUE(file);
  EXPECT_TRUE(Find(*file, L"software\\APP", L"q\"X\\Y\u00D8"));
  EXPECT_TRUE(Find(*file, L"Software\\App", L""));
  EXPECT_TRUE(Find(*file, L"Software\\App", L"SECOND"));  // the same key, merged
  EXPECT_TRUE(Find(*file, L"", L"AtRoot"));
  ASSERT_TRUE(file->FindKey(L"Software\\Empty"));
  EXPECT_TRUE(file->FindKey(L"Software\\Empty")->values.empty());
  EXPECT_FALSE(file->FindKey(L"Software\\Ap"));
}

TEST(RegFileTest, OtherRootsAreReadButNotKept) {
  const auto file = ParseRegFile(std::string(kV5) +
                                 "[HKCU\\K]\n\"a\"=dword:1\n[HKEY_LOCAL_MACHINE\\K]\n"
                                 "\"b\"=dword:2\n[HKLM\\Other]\n");
  ASSERT_TRUE(file);
  EXPECT_TRUE(Find(*file, L"K", L"a"));
  EXPECT_FALSE(Find(*file, L"K", L"b"));  // must not land in the last HKCU key
  EXPECT_EQ(file->keys.size(), 1u);
}

TEST(RegFileTest, DeletingKeysAndValues) {
  const auto file = ParseRegFile(std::string(kV5) +
                                 "[HKCU\\S\\A]\n\"x\"=dword:1\n[HKCU\\S\\A\\B]\n[HKCU\\S\\AB]\n"
                                 "[HKCU\\S\\A-]\n[HKCU\\S\\Keep]\n\"x\"=dword:1\n@=dword:5\n"
                                 "\"X\"=-\n@=-\n\"never\"=-\n[-HKCU\\s\\a]\n\"z\"=dword:4\n");
  ASSERT_TRUE(file);
  EXPECT_FALSE(file->FindKey(L"S\\A"));
  EXPECT_FALSE(file->FindKey(L"S\\A\\B"));
  EXPECT_TRUE(file->FindKey(L"S\\AB"));
  EXPECT_TRUE(file->FindKey(L"S\\A-"));
  // Keep lost both its values, and "z" after the deletion line went nowhere.
  ASSERT_TRUE(file->FindKey(L"S\\Keep"));
  EXPECT_TRUE(file->FindKey(L"S\\Keep")->values.empty());
}

TEST(RegFileTest, MalformedFilesGiveNoValue) {
  const std::string head = kV5;
  const std::string key = head + "[HKCU\\K]\n\"v\"=";
  const std::string cases[] = {
      "",
      "Windows Registry Editor Version 4.00\n[HKCU\\K]\n",
      head + "\"v\"=dword:1\n",  // a value before any key
      head + "garbage\n",
      head + "[HKCU\\Unclosed\n",
      head + "[Nowhere\\K]\n",
      head + "[HKCU\\a\\\\b]\n",
      head + "[HKCU\\a\\\\]\n",  // an empty last name
      head + "[HKCU\\K]\n\"v\"dword:1\n",
      key + "\"open\n",
      key + "\"a\" junk\n",
      key + "\"a\\nb\"\n",
      key + "text\n",
      key + "hex:0g\n",
      key + "hex:100\n",
      key + "hex:01,\n",
      key + "hex:01,\\\n\n",   // a trailing comma before an empty line
      key + "hex:01\\\n02\n",  // a break not after a comma
      key + "hex:\\",          // the file ends mid-value
      key + "hex(2:00\n",
      key + "hex():00\n",
      key + "hex(123456789):00\n",
      key + "dword:123456789\n",
      key + "dword:0x1\n",
      Utf16File(u"Windows Registry Editor Version 5.00\r\n") + "x",  // odd byte count
      "\xFF\xFE" + head,  // UTF-8 text behind a UTF-16 mark
  };
  for (const std::string& bytes : cases) EXPECT_FALSE(ParseRegFile(bytes)) << bytes;
}

}  // namespace
}  // namespace updater
