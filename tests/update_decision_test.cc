// The decision half of a run: whether the update is offered at all, and the
// two boxes that lead into it.
#include <gtest/gtest.h>

#include <functional>

#include "scenario.h"

namespace updater {
namespace {

using testing::FakePlatform;
using testing::kSylkumKey;
using testing::Scenario;

TEST(UpdateDecisionTest, OfferedUpdateShowsThePromptAndTheCloseNotice) {
  Scenario s;
  s.Manifest("5.3\r\nslut\r\n");
  s.platform.answers = {kIdYes, kIdOk};
  s.platform.SetString(kSylkumKey, "Version", "5.20");
  ASSERT_TRUE(s.Run());
  ASSERT_GE(s.platform.boxes.size(), 2u);
  EXPECT_EQ(s.platform.boxes[0].prompt, testing::kPrompt);
  EXPECT_EQ(s.platform.boxes[0].title, testing::kTitle);
  EXPECT_EQ(s.platform.boxes[0].flags, kMbYesNo);
  EXPECT_EQ(s.platform.boxes[1].prompt, testing::kCloseNotice);
  EXPECT_EQ(s.platform.boxes[1].title, testing::kTitle);
  EXPECT_EQ(s.platform.boxes[1].flags, kMbIconInformation);
}

TEST(UpdateDecisionTest, SilentEndsBeforeAnyBox) {
  struct Case {
    const char* what;
    std::function<void(Scenario&)> setUp;
  };
  const Case cases[] = {
      {"no manifest", [](Scenario&) {}},
      {"hidden manifest",
       [](Scenario& s) { s.platform.AddFile(Scenario::TempFile(L"OrvakBK.ini"), "9\r\n", true); }},
      {"manifest presence test fails",
       [](Scenario& s) {
         s.Manifest("9\r\n");
         s.platform.failingFinds.insert(Scenario::TempFile(L"OrvakBK.ini"));
       }},
      {"manifest for another product", [](Scenario& s) { s.Payload(L"OrvakLR.ini", "9\r\n"); }},
      {"empty manifest", [](Scenario& s) { s.Manifest(""); }},
      {"10 sorts before 9",
       [](Scenario& s) {
         s.Manifest("10\r\nslut\r\n");
         s.platform.SetString(kSylkumKey, "Version", "9");
       }},
      {"equal version", [](Scenario& s) { s.Manifest("5.2\r\nslut\r\n"); }},
      {"equal apart from letter case",
       [](Scenario& s) {
         s.Manifest("1e+17\r\n");  // the installed 1E17 reads back as 1E+17
         s.platform.SetString(kSylkumKey, "Version", "1E17");
       }},
      {"older version", [](Scenario& s) { s.Manifest("5.1\r\nslut\r\n"); }},
      {"no product installed",
       [](Scenario& s) {
         s.platform = FakePlatform();
         s.platform.SetEnv(L"temp", testing::kTemp);
         s.Manifest("9\r\n");
       }},
      {"install folder missing: never the drive root",
       [](Scenario& s) {
         s.Manifest("9\r\n");
         s.platform.SetValue(kSylkumKey, "MDE", kRegBinary, "x");
       }},
      {"install folder a dword: never a folder named like the version",
       [](Scenario& s) {
         s.Manifest("9\r\n");
         s.platform.SetDword(kSylkumKey, "MDE", 4);
       }},
      {"developer build folder",
       [](Scenario& s) {
         s.Manifest("9\r\n");
         s.platform.SetString(kSylkumKey, "MDE", "c:\\sylkum\\foerbuild");
       }},
      {"build folder written with slashes",
       [](Scenario& s) {
         s.Manifest("9\r\n");
         s.platform.SetString(kSylkumKey, "MDE", "C:/Sylkum/Foerbuild/");
       }},
      {"build folder with doubled backslashes",
       [](Scenario& s) {
         s.Manifest("9\r\n");
         s.platform.SetString(kSylkumKey, "MDE", "C:\\Sylkum\\\\Foerbuild\\\\");
       }},
      {"relative install folder",
       [](Scenario& s) {
         s.Manifest("9\r\n");
         s.platform.SetString(kSylkumKey, "MDE", "Sylkum");
       }},
      {"install folder relative to a drive's current folder",
       [](Scenario& s) {
         s.Manifest("9\r\n");
         s.platform.SetString(kSylkumKey, "MDE", "C:Sylkum");
       }},
      {"build folder behind a share of its disk",
       [](Scenario& s) {
         s.Manifest("9\r\n");
         s.platform.AddFolder(L"C:\\Sylkum\\Foerbuild");
         s.platform.folderAliases[L"\\\\localhost\\C$\\Sylkum\\Foerbuild"] =
             L"C:\\Sylkum\\Foerbuild";
         s.platform.SetString(kSylkumKey, "MDE", "\\\\localhost\\C$\\Sylkum\\Foerbuild");
       }},
      {"other product's build folder",
       [](Scenario& s) {
         s.Manifest("9\r\n");
         s.platform.SetString(kSylkumKey, "MDE", "C:\\DROVANEL\\Foerbuild\\");
       }},
      {"another updater already running",
       [](Scenario& s) {
         s.Manifest("9\r\n");
         s.platform.anotherInstanceRunning = true;
       }},
  };
  for (const Case& c : cases) {
    Scenario s;
    c.setUp(s);
    EXPECT_TRUE(s.Run()) << c.what;
    EXPECT_TRUE(s.platform.boxes.empty()) << c.what;
    EXPECT_TRUE(s.platform.copies.empty()) << c.what;
  }
  // Every spelling Windows resolves to the build folder is that folder.
  for (const char* folder :
       {"\\\\?\\C:\\Sylkum\\Foerbuild\\", "C:\\Sylkum\\Foerbuild.\\", "C:\\Sylkum\\.\\Foerbuild",
        "C:\\Sylkum\\x\\..\\Foerbuild\\", "C:\\Sylkum\\Foerbuild \\", "c:/SYLKUM/Foerbuild. ./"}) {
    Scenario s;
    s.Manifest("9\r\n");
    s.platform.SetString(kSylkumKey, "MDE", folder);
    EXPECT_TRUE(s.Run()) << folder;
    EXPECT_TRUE(s.platform.boxes.empty()) << folder;
  }
}

TEST(UpdateDecisionTest, OfferedWhenTheOfferedVersionSortsAfter) {
  struct Case {
    const char* what;
    std::function<void(Scenario&)> setUp;
  };
  const Case cases[] = {
      {"5.3 after registry text 5.20", [](Scenario& s) { s.Manifest("5.3\r\nslut\r\n"); }},
      {"8 after the integer 7",
       [](Scenario& s) {
         s.Manifest("8\r\nslut\r\n");
         s.platform.SetDword(kSylkumKey, "Version", 7);
       }},
      {"missing version counts as 0",
       [](Scenario& s) {
         s.Manifest("1\r\nslut\r\n");
         s.platform.SetValue(kSylkumKey, "Version", kRegBinary, "");
       }},
      {"spaces around the offered version",
       [](Scenario& s) { s.Manifest("   5.3   ,x,y\r\nslut\r\n"); }},
      {"manifest name in other letter case",
       [](Scenario& s) { s.Payload(L"orvakbk.INI", "5.3\r\nslut\r\n"); }},
      {"comma locale",
       [](Scenario& s) {
         s.platform.decimalSeparator = L",";
         s.platform.SetString(kSylkumKey, "Version", "5.20");
         s.Manifest("\"5,3\"\r\nslut\r\n");  // unquoted, the comma would end the field
       }},
  };
  for (const Case& c : cases) {
    Scenario s;
    c.setUp(s);
    s.platform.answers = {kIdNo};
    EXPECT_TRUE(s.Run()) << c.what;
    ASSERT_EQ(s.platform.boxes.size(), 1u) << c.what;
    EXPECT_EQ(s.platform.boxes[0].prompt, testing::kPrompt) << c.what;
  }
}

TEST(UpdateDecisionTest, AnythingButYesEndsAfterThePrompt) {
  // No; a box that could not be shown; a box closed by its close button or
  // a session ending (IDCANCEL); and any other answer.
  for (int answer : {kIdNo, 0, 2, kIdOk, 3}) {
    Scenario s;
    s.Manifest("9\r\nsylkum.mde,Sylkum.mde\r\nslut\r\n");
    s.Payload(L"sylkum.mde", "new");
    s.platform.answers = {answer};
    EXPECT_TRUE(s.Run());
    EXPECT_EQ(s.platform.boxes.size(), 1u);
    EXPECT_TRUE(s.platform.copies.empty());
    EXPECT_TRUE(s.platform.sleeps.empty());
  }
}

// One manifest compares the same on every locale: the offered version's
// decimal mark counts as the locale's, as in the installed version.
// A signed build reads the same versions by number too, and never offers
// one older than the installed one, however it sorts as text; the decimal
// comma is the same number as the point.
TEST(UpdateDecisionTest, VersionTestReadsTheOfferedDecimalMarkAsTheLocales) {
  struct Case {
    const wchar_t* separator;
    const char* installed;  // in the registry
    const char* offered;    // in the manifest
    bool prompts;
    bool signedOffers;  // what a signed build decides
  };
  const Case cases[] = {
      {L",", "5.3", "5.3", false, false},     {L",", "5.2", "5.1", false, false},
      {L",", "5.20", "5.3", true, true},      {L".", "5.2", "\"5,3\"", true, true},
      {L".", "5.2", "\"5,1\"", false, false}, {L",", "9.5", "10.0", false, false},
      {L".", "9.5", "10.0", false, false},    {L",", "5.2", "5.2.1", true, true},
      {L",", "5.2", "5.2", false, false},     {L",", "5.20", "\"5,3\"", true, true},
      {L".", "10", "9", true, false},         {L",", "10", "9.9", true, false},
      {L",", "10", "\"9,5\"", true, false},   {L".", "7", "7 beta", true, true},
  };
  for (const Case& c : cases) {
    Scenario s;
    s.platform.decimalSeparator = c.separator;
    s.platform.SetString(kSylkumKey, "Version", c.installed);
    s.Manifest(std::string(c.offered) + "\r\nslut\r\n");
    s.platform.answers = {kIdNo};
    EXPECT_TRUE(s.Run());
    EXPECT_EQ(s.platform.boxes.size(), c.prompts ? 1u : 0u)
        << "installed " << c.installed << ", offered " << c.offered;
    const Decision signedBuild =
        DecideUpdate(s.platform, BuildConstants{L"OrvakBK", L"V", {PublicKey{"key", {}}}});
    EXPECT_EQ(signedBuild.outcome == Outcome::kOffer, c.signedOffers)
        << "signed build: installed " << c.installed << ", offered " << c.offered;
  }
}

// An installed update stays installed. Each line of releases is in the
// order a maker ships them; after the update to a release the product
// writes it to the registry as it was shipped. With that release installed
// the next start is silent, and customers on any earlier release of its line
// are offered it, on a point and on a comma locale.
TEST(UpdateDecisionTest, AnInstalledReleaseIsNeverOfferedAgainAndEveryEarlierOneIs) {
  struct Release {
    const char* manifest;  // the version field as the manifest holds it
    const char* registry;  // what the product writes; null: the integer
    std::uint32_t integer;
  };
  const std::vector<std::vector<Release>> lines = {
      {{"5", "5", 0}, {"5.19", "5.19", 0}, {"5.20", "5.20", 0}, {"5.3", "5.3", 0}},
      {{"5.9", "5.9", 0}, {"6.0", "6.0", 0}, {" 6.10 ", "6.10", 0}, {"6.5", "6.5", 0}},
      {{"5.3", "5.3", 0}, {"5.3.1", "5.3.1", 0}, {"5.3.2", "5.3.2", 0}, {"5.4", "5.4", 0}},
      {{"7", "7", 0}, {"7 a", "7 a", 0}, {"7 beta", "7 beta", 0}},
      {{"\"5,10\"", "5,10", 0}, {"\"5,20\"", "5,20", 0}, {"\"5,3\"", "5,3", 0}},
      {{"05.30", "05.30", 0}, {"5.40", " 5.40 ", 0}, {"5.5", "5.5", 0}},
      {{"7", nullptr, 7}, {"8", nullptr, 8}, {"9", nullptr, 9}},
      {{"5.2", "5.2", 0},
       {"\xEF\xBB\xBF"
        "5.3",
        "5.3", 0}},  // saved as UTF-8 with BOM
  };
  const auto prompts = [](const wchar_t* separator, const Release& installed,
                          const Release& offered) {
    Scenario s;
    s.platform.decimalSeparator = separator;
    if (installed.registry) {
      s.platform.SetString(kSylkumKey, "Version", installed.registry);
    } else {
      s.platform.SetDword(kSylkumKey, "Version", installed.integer);
    }
    s.Manifest(std::string(offered.manifest) + "\r\nslut\r\n");
    s.platform.answers = {kIdNo};
    EXPECT_TRUE(s.Run());
    return !s.platform.boxes.empty();
  };
  for (const wchar_t* separator : {L".", L","}) {
    for (const std::vector<Release>& line : lines) {
      for (std::size_t later = 0; later < line.size(); ++later) {
        EXPECT_FALSE(prompts(separator, line[later], line[later]))
            << line[later].manifest << " installed, separator " << EncodeUtf8(separator);
        for (std::size_t earlier = 0; earlier < later; ++earlier) {
          EXPECT_TRUE(prompts(separator, line[earlier], line[later]))
              << line[later].manifest << " over " << line[earlier].manifest << ", separator "
              << EncodeUtf8(separator);
        }
      }
    }
  }
}

TEST(UpdateDecisionTest, OnlyTheFirstDecimalMarkOfTheLeadingNumberIsTheLocales) {
  const struct {
    const wchar_t* offered;
    const wchar_t* point;
    const wchar_t* comma;
  } cases[] = {
      {L"5.3", L"5.3", L"5,3"},     {L"5,3", L"5.3", L"5,3"},  {L"10.0.1", L"10.0.1", L"10,0.1"},
      {L"5.", L"5.", L"5."},        {L".5", L".5", L".5"},     {L"v5.3", L"v5.3", L"v5.3"},
      {L"5.3b", L"5.3b", L"5,3b"},  {L"", L"", L""},           {L"6.0", L"6", L"6"},
      {L" 05.20 ", L"5.2", L"5,2"}, {L"5,30", L"5.3", L"5,3"}, {L"0.50", L"0.5", L"0,5"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OfferedVersionInLocale(c.offered, L"."), c.point);
    EXPECT_EQ(OfferedVersionInLocale(c.offered, L","), c.comma);
  }
}

TEST(UpdateDecisionTest, UnsetTempLooksAtTheRootAndABackslashIsNotDoubledAway) {
  Scenario s;
  s.platform = FakePlatform();
  s.platform.SetString(kSylkumKey, "MDE", "C:\\Prog");
  EXPECT_TRUE(s.Run());
  ASSERT_FALSE(s.platform.finds.empty());
  EXPECT_EQ(s.platform.finds[0], L"\\OrvakBK.ini");

  Scenario t;
  t.platform.SetEnv(L"temp", L"C:\\Temp\\");
  EXPECT_TRUE(t.Run());
  ASSERT_FALSE(t.platform.finds.empty());
  EXPECT_EQ(t.platform.finds[0], L"C:\\Temp\\\\OrvakBK.ini");
}

// The constants compiled into the updater are the ones the build was
// configured with, letters outside ASCII intact, and a run with them reaches
// the right product: its manifest, its registry key and install-folder value,
// its lock file, its title and its name in the texts.
TEST(UpdateDecisionTest, ThisBuildRunsWithTheConfiguredProduct) {
  const BuildConstants build = ThisBuild();
  EXPECT_EQ(build.productId, DecodeUtf8(UPDATER_CONFIGURED_PRODUCT_ID));
  EXPECT_EQ(build.displayName, DecodeUtf8(UPDATER_CONFIGURED_DISPLAY_NAME));

  // Where each product's own installer keeps its data.
  struct Product {
    const wchar_t* id;
    const char* key;
    const char* folderValue;
    const wchar_t* lock;
  };
  const Product products[] = {
      {L"OrvakBK", "Software\\Zorbe IT Service\\Sylkum", "MDE", L"Sylkum.ldb"},
      {L"OrvakLR", "Software\\Zorbe IT Service\\Drovanel", "Path", L"Drovanel.ldb"},
  };
  const Product* product = nullptr;
  for (const Product& p : products) {
    if (build.productId == p.id) product = &p;
  }
  ASSERT_NE(product, nullptr) << "this build is for no product the updater knows";

  FakePlatform platform;
  platform.SetEnv(L"temp", L"C:\\Temp");
  platform.AddFile(L"C:\\Temp\\" + build.productId + L".ini", "9\r\nslut\r\n");
  platform.SetString(product->key, "Version", "5");
  platform.SetString(product->key, product->folderValue, "C:\\Prog");
  platform.AddFile(std::wstring(L"C:\\Prog\\") + product->lock, "");  // the product runs
  platform.answers = {kIdYes, kIdOk, kIdOk};
  EXPECT_TRUE(EndsProgram(platform, [&] { RunUpdate(platform, build); }));

  // Prompt, notice, and the not-closed error: the wait found the lock file.
  ASSERT_EQ(platform.boxes.size(), 3u);
  for (const testing::Box& box : platform.boxes)
    EXPECT_EQ(box.title, L"Zorbe IT - " + build.productId);
  EXPECT_EQ(platform.boxes[0].prompt, L"Der er en ny version af " + build.displayName +
                                          L"\r\n\r\n\u00D8nsker du at opdatere nu ?");
  EXPECT_EQ(platform.boxes[2].prompt, L"Programmet " + build.displayName +
                                          L" er ikke lukket rigtigt og kan derfor ikke opdateres.");
}

}  // namespace
}  // namespace updater
