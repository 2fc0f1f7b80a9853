#include "update/registry_lookup.h"

#include <gtest/gtest.h>

#include <functional>

#include "fake_platform.h"

namespace updater {
namespace {

using testing::FakePlatform;

const char kKey[] = "Software\\Zorbe IT Service\\Sylkum";

class ReadRegistryValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_.AddKey(kKey);
    ASSERT_EQ(platform_.RegOpenKeyExA(kHkeyCurrentUser, kKey, 0, 0x3F, &key_), 0);
    slot_.kind = RegistryValue::Kind::kText;
    slot_.text = L"before";
  }

  std::int32_t Read(const std::wstring& name) {
    return ReadRegistryValue(platform_, key_, name, &slot_);
  }

  FakePlatform platform_;
  RegistryKey key_ = 0;
  RegistryValue slot_;
};

TEST_F(ReadRegistryValueTest, StringWithItsTerminatorDropped) {
  platform_.SetString(kKey, "MDE", "C:\\Prog\\Sylkum\xF8");
  EXPECT_EQ(Read(L"MDE"), 0);
  EXPECT_EQ(slot_.AsText(), L"C:\\Prog\\Sylkum\u00F8");
}

TEST_F(ReadRegistryValueTest, StringWithoutTerminatorKeepsItsLastCharacter) {
  platform_.SetString(kKey, "MDE", "C:\\Prog\\Sylkum", /*terminated=*/false);
  EXPECT_EQ(Read(L"MDE"), 0);
  EXPECT_EQ(slot_.AsText(), L"C:\\Prog\\Sylkum");
}

TEST_F(ReadRegistryValueTest, StringEndsAtItsFirstNul) {
  platform_.SetValue(kKey, "MDE", kRegSz, std::string("C:\\A\0junk\0", 10));
  EXPECT_EQ(Read(L"MDE"), 0);
  EXPECT_EQ(slot_.AsText(), L"C:\\A");
}

TEST_F(ReadRegistryValueTest, EmptyStringOfSizeZeroLeavesTheSlot) {
  platform_.SetValue(kKey, "MDE", kRegSz, "");
  EXPECT_EQ(Read(L"MDE"), 0);
  EXPECT_EQ(slot_.AsText(), L"before");
}

TEST_F(ReadRegistryValueTest, FailedStringDataReadEmptiesTheSlot) {
  platform_.SetString(kKey, "MDE", "C:\\Prog");
  platform_.failingDataReads["MDE"] = kErrorAccessDenied;
  EXPECT_EQ(Read(L"MDE"), kErrorAccessDenied);
  EXPECT_EQ(slot_.kind, RegistryValue::Kind::kEmpty);
}

TEST_F(ReadRegistryValueTest, Dwords) {
  platform_.SetDword(kKey, "Version", 7);
  EXPECT_EQ(Read(L"Version"), 0);
  EXPECT_EQ(slot_.AsText(), L"7");

  platform_.SetDword(kKey, "Version", 0xFFFFFFFEu);
  EXPECT_EQ(Read(L"Version"), 0);
  EXPECT_EQ(slot_.AsText(), L"-2");

  // Data longer than four bytes does not fit the integer.
  slot_ = RegistryValue{};
  platform_.SetValue(kKey, "Version", kRegDword, std::string(8, '\1'));
  EXPECT_EQ(Read(L"Version"), kErrorMoreData);
  EXPECT_EQ(slot_.kind, RegistryValue::Kind::kEmpty);
}

TEST_F(ReadRegistryValueTest, OtherTypesAndMissingValuesLeaveTheSlot) {
  platform_.SetValue(kKey, "Multi", kRegMultiSz, std::string("a\0b\0\0", 5));
  platform_.SetValue(kKey, "Raw", kRegBinary, "\x01\x02");
  platform_.SetValue(kKey, "Expand", 2, std::string("%TEMP%\0", 7));
  EXPECT_EQ(Read(L"Multi"), -1);
  EXPECT_EQ(Read(L"Raw"), -1);
  EXPECT_EQ(Read(L"Expand"), -1);
  EXPECT_EQ(Read(L"Missing"), kErrorFileNotFound);
  EXPECT_EQ(slot_.AsText(), L"before");
}

TEST(NormalizeInstalledVersionTest, ReadsTheLeadingNumberAndWritesItInTheLocale) {
  struct Case {
    std::wstring in;
    std::wstring point;  // rendered with "." as separator
    std::wstring comma;  // rendered with "," as separator
  };
  const Case cases[] = {
      {L"5.20", L"5.2", L"5,2"},
      {L"", L"0", L"0"},
      {L"7 beta", L"7", L"7"},
      {L"7", L"7", L"7"},
      {L"beta", L"0", L"0"},
      {L" 1 2 . 5 ", L"12.5", L"12,5"},
      {L"\t-3.25x", L"-3.25", L"-3,25"},
      {L"+4", L"4", L"4"},
      {L"1.2.3", L"1.2", L"1,2"},
      {L"5,2", L"5", L"5"},  // the decimal point is always "."
      {L"1E3", L"1000", L"1000"},
      {L"25D-1", L"2.5", L"2,5"},
      {L"2E", L"2", L"2"},
      {L"1E0000000005", L"100000", L"100000"},
      {L"15E-0001", L"1.5", L"1,5"},
      {L"3E000", L"3", L"3"},
      {L"&HFF", L"255", L"255"},
      {L"&o17", L"15", L"15"},
      {L".5", L"0.5", L"0,5"},
      {L"-0", L"0", L"0"},
      {L"123456789012345678", L"1.23456789012346E+17", L"1,23456789012346E+17"},
      {L"0.1000000000000000055", L"0.1", L"0,1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NormalizeInstalledVersion(c.in, L"."), c.point) << "in: " << c.in.size();
    EXPECT_EQ(NormalizeInstalledVersion(c.in, L","), c.comma);
  }
  // Absurd exponents give a number, never "inf" or "nan".
  EXPECT_EQ(NormalizeInstalledVersion(L"1E999999999999", L".").find(L"inf"), std::wstring::npos);
}

class LookupTest : public ::testing::Test {
 protected:
  void SetUp() override { context_.productId = L"OrvakBK"; }
  FakePlatform platform_;
  UpdateContext context_;
};

TEST_F(LookupTest, FolderWithoutBackslashGetsOneAndTheLockPathFollows) {
  platform_.SetString(kKey, "Version", "5.20");
  platform_.SetString(kKey, "MDE", "C:\\Prog\\Sylkum");
  ASSERT_TRUE(LookupInstalledProduct(platform_, context_));
  EXPECT_EQ(context_.installedVersion, L"5.2");
  EXPECT_EQ(context_.installFolder, L"C:\\Prog\\Sylkum\\");
  EXPECT_EQ(context_.lockPath, L"C:\\Prog\\Sylkum\\Sylkum.ldb");
  EXPECT_EQ(context_.lockName, L"Sylkum.ldb");
  EXPECT_EQ(platform_.openKeys, 0);
}

// The updater only reads: a key the user may not change still gives the
// installed product.
TEST_F(LookupTest, KeyTheUserMayOnlyReadGivesTheProduct) {
  platform_.SetString(kKey, "Version", "5.2");
  platform_.SetString(kKey, "MDE", "C:\\Prog\\Sylkum");
  platform_.readOnlyKeys.insert(kKey);
  ASSERT_TRUE(LookupInstalledProduct(platform_, context_));
  EXPECT_EQ(context_.installFolder, L"C:\\Prog\\Sylkum\\");
  EXPECT_EQ(platform_.lastAccessMask, kKeyRead);
}

TEST_F(LookupTest, OtherProfileUsesItsOwnKeyValueAndLock) {
  context_.productId = L"orvaklr";  // matched without regard to case
  platform_.SetString("Software\\Zorbe IT Service\\Drovanel", "Path", "D:\\Drovanel\\");
  ASSERT_TRUE(LookupInstalledProduct(platform_, context_));
  EXPECT_EQ(context_.installFolder, L"D:\\Drovanel\\");
  EXPECT_EQ(context_.lockPath, L"D:\\Drovanel\\Drovanel.ldb");
  EXPECT_EQ(context_.installedVersion, L"0");
}

TEST_F(LookupTest, NoProductWhenTheFolderIsNotReadAsText) {
  struct Case {
    const char* what;
    std::function<void(FakePlatform&)> setUp;
  };
  const Case cases[] = {
      {"no key", [](FakePlatform&) {}},
      {"folder missing", [](FakePlatform& p) { p.SetString(kKey, "Version", "5"); }},
      {"folder a dword",
       [](FakePlatform& p) {
         p.SetString(kKey, "Version", "5");
         p.SetDword(kKey, "MDE", 3);
       }},
      {"folder of size zero",
       [](FakePlatform& p) {
         p.SetString(kKey, "Version", "5");
         p.SetValue(kKey, "MDE", kRegSz, "");
       }},
      {"folder only a NUL",
       [](FakePlatform& p) {
         p.SetString(kKey, "Version", "5");
         p.SetValue(kKey, "MDE", kRegSz, std::string(1, '\0'));
       }},
      {"folder of another type",
       [](FakePlatform& p) {
         p.SetString(kKey, "Version", "5");
         p.SetValue(kKey, "MDE", kRegBinary, "C:\\x");
       }},
      {"folder relative to the current folder",
       [](FakePlatform& p) { p.SetString(kKey, "MDE", "Sylkum\\Prog"); }},
      {"folder relative to a drive's current folder",
       [](FakePlatform& p) { p.SetString(kKey, "MDE", "C:Sylkum"); }},
      {"folder from the current drive's root",
       [](FakePlatform& p) { p.SetString(kKey, "MDE", "\\Sylkum"); }},
      {"server without a share", [](FakePlatform& p) { p.SetString(kKey, "MDE", "\\\\server"); }},
      {"folder read fails",
       [](FakePlatform& p) {
         p.SetString(kKey, "Version", "5");
         p.SetString(kKey, "MDE", "C:\\Prog");
         p.failingDataReads["MDE"] = kErrorAccessDenied;
       }},
  };
  for (const Case& c : cases) {
    FakePlatform platform;
    UpdateContext context;
    context.productId = L"OrvakBK";
    c.setUp(platform);
    EXPECT_FALSE(LookupInstalledProduct(platform, context)) << c.what;
    EXPECT_EQ(platform.openKeys, 0) << c.what;
  }
}

TEST_F(LookupTest, ShareIsAnInstallFolder) {
  platform_.SetString(kKey, "MDE", "\\\\server\\share\\Sylkum");
  ASSERT_TRUE(LookupInstalledProduct(platform_, context_));
  EXPECT_EQ(context_.installFolder, L"\\\\server\\share\\Sylkum\\");
}

// The ANSI read gives Windows' look-alike for a letter the code page lacks:
// the folder must be the one the registry holds, not another user's.
TEST_F(LookupTest, FolderOutsideTheCodePageArrivesIntact) {
  platform_.SetText(kKey, "MDE", L"C:\\acc\\users\\\u0141ukasz\\Sylkum",
                    "C:\\acc\\users\\Lukasz\\Sylkum");
  ASSERT_TRUE(LookupInstalledProduct(platform_, context_));
  EXPECT_EQ(context_.installFolder, L"C:\\acc\\users\\\u0141ukasz\\Sylkum\\");
  EXPECT_EQ(context_.lockPath, L"C:\\acc\\users\\\u0141ukasz\\Sylkum\\Sylkum.ldb");
}

TEST_F(LookupTest, MissingVersionCountsAsZero) {
  platform_.SetString(kKey, "MDE", "C:\\Prog\\");
  ASSERT_TRUE(LookupInstalledProduct(platform_, context_));
  EXPECT_EQ(context_.installedVersion, L"0");
  EXPECT_EQ(context_.installFolder, L"C:\\Prog\\");
}

TEST_F(LookupTest, DwordVersionAndCommaLocale) {
  platform_.decimalSeparator = L",";
  platform_.SetDword(kKey, "Version", 7);
  platform_.SetString(kKey, "MDE", "C:\\Prog\\");
  ASSERT_TRUE(LookupInstalledProduct(platform_, context_));
  EXPECT_EQ(context_.installedVersion, L"7");

  platform_.SetString(kKey, "Version", "5.20");
  ASSERT_TRUE(LookupInstalledProduct(platform_, context_));
  EXPECT_EQ(context_.installedVersion, L"5,2");
}

}  // namespace
}  // namespace updater
