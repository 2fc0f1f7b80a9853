// updater-tool's commands: check and explain on the in-memory platform,
// pack on real folders.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "explain.h"
#include "keygen.h"
#include "keys.h"
#include "manifest_check.h"
#include "pack.h"
#include "platform/signing.h"
#include "platform/text.h"
#include "scenario.h"
#include "sealing.h"
#include "update/whole.h"

namespace updater {
namespace {

using testing::FakePlatform;
using testing::kSylkumKey;
using testing::Scenario;

const BuildConstants kBuild{L"OrvakBK", L"Verazuzoduvuzo", {}};
const wchar_t kFolder[] = L"C:\\Upd";

bool Has(const std::wstring& text, const std::wstring& part) {
  return text.find(part) != std::wstring::npos;
}

TEST(CheckTest, ManifestTraps) {
  struct Case {
    const char* what;
    std::string manifest;
    int status;
    std::vector<std::wstring> said;  // parts of the output
  };
  const Case cases[] = {
      {"clean",
       "5.3\r\na.dll,a.dll\r\nb.dll,Sub\\b.dll\r\nslut\r\n",
       0,
       {L"line 2: \"a.dll\" -> \"a.dll\": copied", L"Problems: none", L"\nLands: file by file (",
        L"Result: 2 entries, 2 copied, 0 passed over, 0 refused; 0 problems."}},
      {"declared whole",
       "5.3\r\na.dll,a.dll\r\nb.dll,Sub\\b.dll\r\nslut\r\nhelt-eller-slet-ikke\r\n",
       0,
       {L"\nLands: whole or not at all (", L"Problems: none"}},
      {"declared whole, with an entry refused",
       "5.3\r\na.dll,a.dll\r\nb.dll,..\\b.dll\r\nslut\r\nhelt-eller-slet-ikke\r\n",
       1,
       {L"  the update lands whole or not at all, so with 1 entry not copied none of its files "
        L"would be installed\n",
        L"; 2 problems."}},
      {"empty line shifts the pairs",
       "5.3\r\na.dll,a.dll\r\n\r\nb.dll,b.dll\r\nslut\r\n",
       1,
       {L"line 3 is empty: it counts as a field and shifts every pair after it"}},
      {"a field too many",
       "5.3\r\na.dll,a.dll,x\r\nb.dll,b.dll\r\nslut\r\n",
       1,
       {L"line 2 holds more than two fields"}},
      {"a field too few",
       "5.3\r\na.dll\r\nb.dll,b.dll\r\nslut\r\n",
       1,
       {L"line 2: \"a.dll\" and its destination \"b.dll\" (line 3) are not on one line"}},
      {"no terminator",
       "5.3\r\na.dll,a.dll\r\n",
       1,
       {L"no \"slut\": the list ends where the file ends",
        L"does not offer an update whose list it has not seen end",
        L"line 2: \"a.dll\" -> \"a.dll\": not reached; if reached: copied",
        L"Result: 1 entry, none reached: the update is not offered"}},
      {"cut in the middle of a name",
       "5.3\r\na.dll,a.dll\r\nb.dll,Sy",
       1,
       {L"line 3: \"b.dll\" -> \"Sy\": never used: the file ends inside this entry",
        L"Result: 1 entry, none reached"}},
      {"after the terminator",
       "5.3\r\na.dll,a.dll\r\nslut\r\nold.dll,old.dll\r\n",
       1,
       {L"line 4: 2 fields after \"slut\", which the updater never reads"}},
      {"Unix line ends are read as the updater reads them",
       "5.3\na.dll,a.dll\nslut\n",
       0,
       {L"Problems: none"}},
      {"UTF-8 without the mark",
       "5.3\r\na.dll,Hj\xC3\xA6lp.dll\r\nslut\r\n",
       1,
       {L"line 2: the manifest is UTF-8 without a byte-order mark, which the updater reads as "
        L"Windows-1252 (\"Hj\u00E6lp.dll\" would not be found)"}},
      {"UTF-8 with the mark",
       "\xEF\xBB\xBF"
       "5.3\r\na.dll,Hj\xC3\xA6lp\\a.dll\r\nslut\r\n",
       0,
       {L"Offered version: \"5.3\"", L"\"a.dll\" -> \"Hj\u00E6lp\\a.dll\": copied"}},
      {"undefined byte",
       "5.3\r\na.dll,a\x81.dll\r\nslut\r\n",
       1,
       {L"line 2: the byte 0x81 has no character in Windows-1252", L"\"a<81>.dll\""}},
      {"unquoted comma in the version",
       "5,3\r\na.dll,a.dll\r\nslut\r\n",
       1,
       {L"line 1: the version ends at an unquoted comma, so it reads as \"5\""}},
      {"empty version", "\r\na.dll,a.dll\r\nslut\r\n", 1, {L"the offered version is empty"}},
      {"fates",
       "5.3\r\ndata\\a.dll,a.dll\r\n*.dll,w.dll\r\nnone.dll,n.dll\r\n,e.dll\r\n"
       "a.dll,..\\a.dll\r\nb.dll,CON.txt\r\nslut\r\n",
       1,
       {L"\"data\\a.dll\" -> \"a.dll\": passed over: the source has a folder part",
        L"\"*.dll\" -> \"w.dll\": passed over: the source is a wildcard pattern",
        L"\"none.dll\" -> \"n.dll\": passed over: no such file beside the manifest",
        L"\"\" -> \"e.dll\": passed over: the source is empty",
        L"\"a.dll\" -> \"..\\a.dll\": refused: the destination climbs out of the install folder",
        L"\"b.dll\" -> \"CON.txt\": refused: the destination names a device",
        L"  line 5: \"\" -> \"e.dll\": passed over: the source is empty",
        L"Result: 6 entries, 0 copied, 4 passed over, 2 refused; 6 problems."}},
  };
  for (const Case& c : cases) {
    FakePlatform platform;
    platform.AddFile(L"C:\\Upd\\OrvakBK.ini", c.manifest);
    platform.AddFile(L"C:\\Upd\\a.dll", "a");
    platform.AddFile(L"C:\\Upd\\b.dll", "b");
    const tool::CheckOutcome outcome = tool::CheckFolder(platform, platform, kBuild, kFolder, {});
    EXPECT_EQ(outcome.status, c.status) << c.what << "\n" << EncodeUtf8(outcome.text);
    for (const std::wstring& part : c.said) {
      EXPECT_TRUE(Has(outcome.text, part)) << c.what << ": no " << EncodeUtf8(part) << " in\n"
                                           << EncodeUtf8(outcome.text);
    }
  }
}

TEST(CheckTest, FolderOrManifestThatCannotBeReadIsStatusTwo) {
  FakePlatform platform;
  EXPECT_EQ(tool::CheckFolder(platform, platform, kBuild, kFolder, {}).text,
            L"The folder C:\\Upd does not exist.\n");
  platform.AddFile(L"C:\\Upd\\OrvakBK.ini", "5.3\r\nslut\r\n", true);
  const tool::CheckOutcome hidden = tool::CheckFolder(platform, platform, kBuild, kFolder, {});
  EXPECT_EQ(hidden.status, 2);
  EXPECT_TRUE(Has(hidden.text, L"is hidden")) << EncodeUtf8(hidden.text);
}

// The checksum file for `manifest` with each (name, content) as listed.
std::string ChecksumLines(const std::string& manifest,
                          const std::vector<std::pair<std::string, std::string>>& files) {
  std::string text = DigestHex(testing::DigestOf(manifest)) + "  OrvakBK.ini\n";
  for (const auto& [name, content] : files) {
    text += DigestHex(testing::DigestOf(content)) + "  " + name + "\n";
  }
  return text;
}

TEST(CheckTest, EveryPayloadMismatchIsAProblem) {
  FakePlatform platform;
  const std::string manifest = "5.3\r\na.dll,a.dll\r\nb.dll,b.dll\r\nc.dll,c.dll\r\nslut\r\n";
  platform.AddFile(L"C:\\Upd\\OrvakBK.ini", manifest);
  platform.AddFile(L"C:\\Upd\\a.dll", "a");
  platform.AddFile(L"C:\\Upd\\b.dll", "b, damaged");
  platform.AddFile(L"C:\\Upd\\OrvakBK.sha256",
                   ChecksumLines(manifest, {{"a.dll", "a"}, {"B.DLL", "b"}, {"c.dll", "c"}}));
  const tool::CheckOutcome outcome = tool::CheckFolder(platform, platform, kBuild, kFolder, {});
  EXPECT_EQ(outcome.status, 1);
  for (const wchar_t* line :
       {L"Checksum file: C:\\Upd\\OrvakBK.sha256: not kept: the updater does not offer the "
        L"update\n",
        L"  \"b.dll\" is damaged: its bytes do not match its line\n",
        L"  \"c.dll\" is missing\n"}) {
    EXPECT_TRUE(Has(outcome.text, line)) << EncodeUtf8(outcome.text);
  }
  EXPECT_FALSE(Has(outcome.text, L"\"a.dll\" is")) << EncodeUtf8(outcome.text);
}

TEST(CheckTest, CustomersOnEachInstalledVersionOnBothLocales) {
  FakePlatform platform;
  platform.AddFile(L"C:\\Upd\\OrvakBK.ini", "10.0\r\nslut\r\n");
  tool::CheckOutcome outcome =
      tool::CheckFolder(platform, platform, kBuild, kFolder, {L"9.5", L"9.95.1"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_TRUE(Has(outcome.text,
                  L"Customers on 9.5: not offered on a point locale (10 sorts before 9.5: 10 "
                  L"sorts before 9 as text); not offered on a comma locale (10 sorts before "
                  L"9,5: 10 sorts before 9 as text)\n"))
      << EncodeUtf8(outcome.text);

  platform.AddFile(L"C:\\Upd\\OrvakBK.ini", "5.3\r\nslut\r\n");
  outcome = tool::CheckFolder(platform, platform, kBuild, kFolder, {L"10"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_TRUE(Has(outcome.text,
                  L"offered on a point locale (5.3 sorts after 10, though older by "
                  L"number)"))
      << EncodeUtf8(outcome.text);
  EXPECT_TRUE(Has(outcome.text, L"customers on 10 are offered this update, an older version"));

  outcome = tool::CheckFolder(platform, platform, kBuild, kFolder, {L"5.20"});
  EXPECT_EQ(outcome.status, 0) << EncodeUtf8(outcome.text);
  EXPECT_TRUE(Has(outcome.text,
                  L"Customers on 5.20: offered on a point locale (5.3 sorts after 5.2); offered "
                  L"on a comma locale (5,3 sorts after 5,2)\n"))
      << EncodeUtf8(outcome.text);

  // The same version, however written, and an older one are not offered:
  // no problem. A version of more than one "." is a trap of its own.
  platform.AddFile(L"C:\\Upd\\OrvakBK.ini", "6.0\r\nslut\r\n");
  outcome = tool::CheckFolder(platform, platform, kBuild, kFolder, {L"6", L"6.00", L"5.9", L"7.0"});
  EXPECT_EQ(outcome.status, 0) << EncodeUtf8(outcome.text);
  EXPECT_TRUE(Has(outcome.text, L"Customers on 6.00: not offered on a point locale (6 equals 6)"))
      << EncodeUtf8(outcome.text);
  platform.AddFile(L"C:\\Upd\\OrvakBK.ini", "5.3.1\r\nslut\r\n");
  outcome = tool::CheckFolder(platform, platform, kBuild, kFolder, {L"5.3.1", L"5.3.2"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_TRUE(Has(outcome.text, L"the version \"5.3.1\" has more than one \".\""))
      << EncodeUtf8(outcome.text);
  EXPECT_TRUE(Has(outcome.text, L"customers on 5.3.2 are offered this update, an older version"));
  EXPECT_FALSE(Has(outcome.text, L"customers on 5.3.1 ")) << EncodeUtf8(outcome.text);

  // A payload that breaks its checksum file's promise is offered to no one:
  // its entries are never reached.
  platform.AddFile(L"C:\\Upd\\OrvakBK.ini", "5.3\r\na.dll,a.dll\r\nslut\r\n");
  platform.AddFile(L"C:\\Upd\\a.dll", "a");
  platform.AddFile(L"C:\\Upd\\OrvakBK.sha256", "not a checksum line\n");
  outcome = tool::CheckFolder(platform, platform, kBuild, kFolder, {L"5.2"});
  EXPECT_EQ(outcome.status, 1);
  for (const wchar_t* line :
       {L"  line 2: \"a.dll\" -> \"a.dll\": not reached; if reached: not copied: the checksum "
        L"file does not vouch for this source\n",
        L"Customers on 5.2: not offered anywhere: the payload does not keep its checksum file's "
        L"promise\n",
        L"Result: 1 entry, none reached: the update is not offered; 1 problem.\n"}) {
    EXPECT_TRUE(Has(outcome.text, line)) << EncodeUtf8(outcome.text);
  }
}

// Lines of explain's output, to look for whole lines.
std::vector<std::wstring> Lines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  std::wstringstream in(text);
  for (std::wstring line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void ExpectLines(const std::wstring& text, const std::vector<std::wstring>& expected,
                 const char* what) {
  const std::vector<std::wstring> lines = Lines(text);
  for (const std::wstring& line : expected) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end())
        << what << ": no line " << EncodeUtf8(line) << " in\n"
        << EncodeUtf8(text);
  }
}

TEST(ExplainTest, OfferedWithTheProductRunning) {
  Scenario s;
  s.platform.decimalSeparator = L",";
  s.platform.SetString(kSylkumKey, "Version", "5.20");
  s.Manifest("5.3\r\nsylkum.mde,Sylkum.mde\r\nny.dll,Mangler\\ny.dll\r\nslut\r\n");
  s.Payload(L"sylkum.mde", "new");
  s.Payload(L"ny.dll", "new");
  s.platform.AddFile(L"C:\\Prog\\Sylkum\\Sylkum.ldb", "");
  s.platform.openFiles.insert(L"C:\\Prog\\Sylkum\\Sylkum.ldb");
  tool::ExplainOutcome outcome = tool::Explain(s.platform, s.platform, kBuild);
  EXPECT_EQ(outcome.status, tool::kNotClean);
  ExpectLines(outcome.text,
              {L"Build: OrvakBK (\"Verazuzoduvuzo\"), unsigned build",
               L"Temporary folder: C:\\Users\\\u00C5se\\AppData\\Local\\Temp\\ (from the "
               L"environment variable temp)",
               L"Manifest: C:\\Users\\\u00C5se\\AppData\\Local\\Temp\\OrvakBK.ini: found",
               L"Offered version: \"5.3\"",
               L"Registry key: HKEY_CURRENT_USER\\Software\\Zorbe IT Service\\Sylkum: opened",
               L"  Version: REG_SZ \"5.20\"", L"  MDE: REG_SZ \"C:\\Prog\\Sylkum\"",
               L"Installed version: \"5.20\" reads as 5,2 (decimal separator \",\")",
               L"Version test: newer (5,3 sorts after 5,2)", L"Another updater running now: no",
               L"Lock file C:\\Prog\\Sylkum\\Sylkum.ldb: present now, held open by a program: "
               L"the product is running",
               L"  line 2: \"sylkum.mde\" -> \"Sylkum.mde\": copied; C:\\Prog\\Sylkum\\Sylkum.mde "
               L"can be written now",
               L"  line 3: \"ny.dll\" -> \"Mangler\\ny.dll\": copied; "
               L"C:\\Prog\\Sylkum\\Mangler\\ny.dll cannot be written now: its folder does not "
               L"exist",
               L"Outcome: the update would be offered now, but would not install cleanly: "
               L"C:\\Prog\\Sylkum\\Mangler\\ny.dll cannot be written now: its folder does not "
               L"exist (the updater makes no folders: create it in the install folder). 1 of its "
               L"2 entries would not be updated now. The product is running: after the close "
               L"notice the updater would wait up to ten minutes for it to close."},
              "offered");

  // A lock file no program holds was left over.
  s.platform.openFiles.clear();
  s.platform.AddFolder(L"C:\\Prog\\Sylkum\\Mangler");
  outcome = tool::Explain(s.platform, s.platform, kBuild);
  EXPECT_EQ(outcome.status, tool::kNotClean);
  ExpectLines(outcome.text,
              {L"Lock file C:\\Prog\\Sylkum\\Sylkum.ldb: present now, but no program holds it "
               L"open: left over, the product is closed",
               L"Outcome: the update would be offered now, but would not install cleanly: the "
               L"lock file C:\\Prog\\Sylkum\\Sylkum.ldb is left over: the updater would wait ten "
               L"minutes for it to go and then say the product is not closed; delete it."},
              "left over");
  // An install folder that is not there, or is a file, fails every copy.
  s.platform.SetString(kSylkumKey, "MDE", "C:\\Prog\\Gone");
  outcome = tool::Explain(s.platform, s.platform, kBuild);
  EXPECT_EQ(outcome.status, tool::kNotClean);
  ExpectLines(outcome.text,
              {L"Install folder: C:\\Prog\\Gone\\: does not exist",
               L"Outcome: the update would be offered now, but would not install cleanly: the "
               L"install folder C:\\Prog\\Gone\\ does not exist, so every copy would fail "
               L"(correct the registry value \"MDE\" or install the product again). 2 of its 2 "
               L"entries would not be updated now."},
              "folder gone");
  s.platform.SetString(kSylkumKey, "MDE", "C:\\Prog\\Sylkum.mde");
  s.platform.AddFile(L"C:\\Prog\\Sylkum.mde", "a file");
  outcome = tool::Explain(s.platform, s.platform, kBuild);
  EXPECT_EQ(outcome.status, tool::kNotClean);
  ExpectLines(outcome.text,
              {L"Install folder: C:\\Prog\\Sylkum.mde\\: a file, not a folder",
               L"Outcome: the update would be offered now, but would not install cleanly: the "
               L"install folder C:\\Prog\\Sylkum.mde\\ is a file, so every copy would fail "
               L"(correct the registry value \"MDE\" or install the product again). 2 of its 2 "
               L"entries would not be updated now."},
              "folder a file");
  // Nothing was claimed, shown, copied or slept.
  EXPECT_TRUE(s.platform.boxes.empty());
  EXPECT_TRUE(s.platform.copies.empty());
  EXPECT_TRUE(s.platform.sleeps.empty());
  EXPECT_EQ(s.platform.openKeys, 0);
}

// A public key of the test keys ("a" or "b"), and the key pair.
PublicKey TestPublicKey(const char* which) {
  std::wstring why;
  return *tool::ReadPublicKeyFile(
      DecodeUtf8(std::string(TEST_KEYS) + "/test-signing-key-" + which + ".pub.pem"), &why);
}
tool::MakerKey TestMakerKey(const char* which) {
  std::ifstream in(std::string(TEST_KEYS) + "/test-signing-key-" + which + ".pem");
  std::stringstream pem;
  pem << in.rdbuf();
  std::wstring why;
  return *tool::ParsePrivateKeyPem(pem.str(), &why);
}

// A packed update of "a.dll" in the scenario's temporary folder, with its
// checksum file; `signer` ("a", "b") signs it, as r and s.
void SignedUpdate(Scenario& s, const char* signer) {
  const std::string manifest = "5.3\r\na.dll,a.dll\r\nslut\r\nOrvakBK.sha256\r\n";
  const std::string checksums = ChecksumLines(manifest, {{"a.dll", "new"}});
  s.Manifest(manifest);
  s.Payload(L"a.dll", "new");
  s.Payload(L"OrvakBK.sha256", checksums);
  if (signer == nullptr) return;
  const tool::MakerKey key = TestMakerKey(signer);
  P256Signature signature{};
  ASSERT_TRUE(
      SystemSigning().SignP256(key.key, key.point, testing::DigestOf(checksums), &signature));
  s.Payload(L"OrvakBK.sha256.sig",
            std::string(reinterpret_cast<const char*>(signature.data()), signature.size()));
}

// An update of a.dll over the installed one and of ny.dll into a folder the
// installation lacks, declared to land whole; `setUp` changes the scene.
std::function<void(Scenario&)> WholeUpdate(std::function<void(Scenario&)> setUp = {}) {
  return [setUp](Scenario& s) {
    s.Manifest("5.3\r\na.dll,a.dll\r\nny.dll,Mangler\\ny.dll\r\nslut\r\nhelt-eller-slet-ikke\r\n");
    s.Payload(L"a.dll", "new");
    s.Payload(L"ny.dll", "new");
    s.platform.AddFile(L"C:\\Prog\\Sylkum\\a.dll", "old");
    if (setUp) setUp(s);
  };
}

// What an update that lands whole makes of a failing destination.
std::wstring NothingInstalled(const std::wstring& why) {
  return L"Outcome: the update would be offered now, but nothing would be installed: " + why +
         L". It lands whole or not at all: none of its 2 entries would be updated now.";
}

// explain's exit status is a contract: each status with a cause of it, and
// the outcome line that names the first reason.
TEST(ExplainTest, EachOutcomeWithItsStatus) {
  struct Case {
    const char* what;
    std::function<void(Scenario&)> setUp;
    std::vector<std::wstring> lines;
    int status = tool::kNothingToDo;
    std::vector<PublicKey> keys = {};  // a signed build's
  };
  FakePlatform hashing;
  const std::wstring keyA = KeyFingerprint(hashing, TestPublicKey("a"));
  const Case cases[] = {
      {"offered, every entry installed",
       [](Scenario& s) {
         s.Manifest("5.3\r\na.dll,a.dll\r\nslut\r\n");
         s.Payload(L"a.dll", "new");
       },
       {L"  line 2: \"a.dll\" -> \"a.dll\": copied; C:\\Prog\\Sylkum\\a.dll can be written now",
        L"Outcome: the update would be offered now."},
       tool::kOffered},
      {"an entry passed over",
       [](Scenario& s) {
         s.Manifest("5.3\r\na.dll,a.dll\r\ngone.dll,gone.dll\r\nslut\r\n");
         s.Payload(L"a.dll", "new");
       },
       {L"Outcome: the update would be offered now, but would not install cleanly: 1 entry "
        L"would be passed over, first line 3: \"gone.dll\" -> \"gone.dll\": passed over: no "
        L"such file beside the manifest (the maker must mend the update)."},
       tool::kNotClean},
      {"an entry refused",
       [](Scenario& s) {
         s.Manifest("5.3\r\na.dll,..\\a.dll\r\nslut\r\n");
         s.Payload(L"a.dll", "new");
       },
       {L"Outcome: the update would be offered now, but would not install cleanly: line 2: "
        L"\"a.dll\" -> \"..\\a.dll\": refused: the destination climbs out of the install folder "
        L"(.. or a name of dots only) (the maker must mend the update). 1 of its 1 entry would "
        L"not be updated now."},
       tool::kNotClean},
      {"a lock file of which it cannot be told whether a program holds it",
       [](Scenario& s) {
         s.Manifest("5.3\r\na.dll,a.dll\r\nslut\r\n");
         s.Payload(L"a.dll", "new");
         s.platform.AddFile(L"C:\\Prog\\Sylkum\\Sylkum.ldb", "");
         s.platform.openUnknown.insert(L"C:\\Prog\\Sylkum\\Sylkum.ldb");
       },
       {L"Lock file C:\\Prog\\Sylkum\\Sylkum.ldb: present now: the product is running, or the "
        L"file was left over",
        L"Outcome: the update would be offered now, but would not install cleanly: whether the "
        L"lock file C:\\Prog\\Sylkum\\Sylkum.ldb is the running product's or left over cannot "
        L"be told: if the product is closed, delete it, or the updater would wait ten minutes and "
        L"then say the product is not closed."},
       tool::kNotClean},
      {"whole: the folder it lacks is made, and held by nothing",
       WholeUpdate(),
       {L"  line 3: \"ny.dll\" -> \"Mangler\\ny.dll\": copied; C:\\Prog\\Sylkum\\Mangler\\ny.dll "
        L"can be written now: its folder does not exist yet, and the update makes it",
        L"Outcome: the update would be offered now."},
       tool::kOffered},
      {"whole: room for the files and the margin, to the byte",
       WholeUpdate([](Scenario& s) { s.platform.freeSpace = WithMargin(6); }),
       {L"Disk space for the staged files: 17 MB needed (the files and a margin), 16 MB free",
        L"Outcome: the update would be offered now."},
       tool::kOffered},
      {"whole: a byte too little room",
       WholeUpdate([](Scenario& s) { s.platform.freeSpace = WithMargin(6) - 1; }),
       {NothingInstalled(L"there is not room enough for the staged files on the install "
                         L"folder's disk: 17 MB needed (the files and a margin), 16 MB free (free "
                         L"space on it)")},
       tool::kNotClean},
      {"whole: a destination a program holds",
       WholeUpdate([](Scenario& s) { s.platform.openFiles.insert(L"C:\\Prog\\Sylkum\\a.dll"); }),
       {NothingInstalled(L"C:\\Prog\\Sylkum\\a.dll cannot be written now: a program has it open "
                         L"(close the program that has it open)")},
       tool::kNotClean},
      {"whole: a folder in a destination's place",
       WholeUpdate([](Scenario& s) {
         s.platform.Remove(L"C:\\Prog\\Sylkum\\a.dll");
         s.platform.AddFolder(L"C:\\Prog\\Sylkum\\a.dll");
       }),
       {NothingInstalled(L"C:\\Prog\\Sylkum\\a.dll cannot be written now: a folder has its name "
                         L"(move the folder away)")},
       tool::kNotClean},
      {"whole: a file where a folder must be",
       WholeUpdate([](Scenario& s) { s.platform.AddFile(L"C:\\Prog\\Sylkum\\Mangler", "x"); }),
       {NothingInstalled(L"C:\\Prog\\Sylkum\\Mangler\\ny.dll cannot be written now: a file stands "
                         L"where a folder must be (move the file away, so that the update can make "
                         L"the folder)")},
       tool::kNotClean},
      {"whole: a link on the way",
       WholeUpdate([](Scenario& s) {
         s.platform.AddFolder(L"C:\\Prog\\Sylkum\\Mangler");
         s.platform.links.insert(L"C:\\Prog\\Sylkum\\Mangler");
       }),
       {NothingInstalled(
           L"C:\\Prog\\Sylkum\\Mangler\\ny.dll cannot be written now: a folder on its "
           L"way is a link, which may lead out of the install folder (the updater "
           L"never writes through a link: make it a folder of the install folder)")},
       tool::kNotClean},
      {"whole: an entry refused keeps every file out",
       [](Scenario& s) {
         s.Manifest("5.3\r\na.dll,a.dll\r\nb.dll,..\\b.dll\r\nslut\r\nhelt-eller-slet-ikke\r\n");
         s.Payload(L"a.dll", "new");
         s.Payload(L"b.dll", "new");
       },
       {NothingInstalled(L"line 3: \"b.dll\" -> \"..\\b.dll\": refused: the destination climbs out "
                         L"of the install folder (.. or a name of dots only) (the maker must mend "
                         L"the update)")},
       tool::kNotClean},
      {"whole: no install folder",
       WholeUpdate([](Scenario& s) { s.platform.SetString(kSylkumKey, "MDE", "C:\\Prog\\Gone"); }),
       {NothingInstalled(
           L"the install folder C:\\Prog\\Gone\\ does not exist, so every copy would "
           L"fail (correct the registry value \"MDE\" or install the product again)")},
       tool::kNotClean},
      {"whole: free space that cannot be told",
       WholeUpdate([](Scenario& s) { s.platform.freeSpace.reset(); }),
       {L"Outcome: the update would be offered now, but would not install cleanly: whether the "
        L"staged files fit on the install folder's disk cannot be told: 17 MB needed (the files "
        L"and a margin), the free space cannot be told (look at it on this PC)."},
       tool::kNotClean},
      {"whole: a destination that cannot be looked at",
       WholeUpdate([](Scenario& s) {
         s.platform.stageFailures[L"C:\\Prog\\Sylkum\\a.dll"] = {CopyError::kOther};
       }),
       {L"Outcome: the update would be offered now, but would not install cleanly: "
        L"C:\\Prog\\Sylkum\\a.dll whether it can be written cannot be told (look at it on this "
        L"PC)."},
       tool::kNotClean},
      {"signed build, signed by its key",
       [](Scenario& s) { SignedUpdate(s, "a"); },
       {L"Build: OrvakBK (\"Verazuzoduvuzo\"), signed build (keys: " + keyA + L")",
        L"Checksum file: C:\\Users\\\u00C5se\\AppData\\Local\\Temp\\OrvakBK.sha256: the manifest "
        L"and 1 payload file match; signed by key " +
            keyA,
        L"Outcome: the update would be offered now."},
       tool::kOffered,
       {TestPublicKey("a")}},
      {"signed build, no signature",
       [](Scenario& s) { SignedUpdate(s, nullptr); },
       {L"Checksum file: C:\\Users\\\u00C5se\\AppData\\Local\\Temp\\OrvakBK.sha256: not used: "
        L"its signature does not let the update through",
        L"  apart from the signature, the manifest and 1 payload file match the checksum file",
        L"  line 2: \"a.dll\" -> \"a.dll\": not reached: the signature stops the update before "
        L"its entries",
        L"Outcome: the run would end silently: the signature does not let the update through: "
        L"no signature: \"OrvakBK.sha256.sig\" is missing; this build takes only updates signed "
        L"by one of its keys (" +
            keyA +
            L"). Sign the update with a key this build carries "
            L"(updater-tool seal --sign KEY), or use the tool of the customer's build."},
       tool::kBlocked,
       {TestPublicKey("a")}},
      {"signed build, another key's signature",
       [](Scenario& s) { SignedUpdate(s, "b"); },
       {L"  the signature \"OrvakBK.sha256.sig\" was not made by any of the keys " + keyA +
            L": it is another key's, or the checksum file changed after it was signed",
        L"  apart from the signature, the manifest and 1 payload file match the checksum file"},
       tool::kBlocked,
       {TestPublicKey("a")}},
      {"signed build, a signature that cannot be read",
       [](Scenario& s) {
         SignedUpdate(s, nullptr);
         s.Payload(L"OrvakBK.sha256.sig", "not a signature");
       },
       {L"  the signature \"OrvakBK.sha256.sig\" cannot be read: it is larger than 256 bytes, or "
        L"no ECDSA P-256 signature (DER, or the 64 bytes of r and s)"},
       tool::kBlocked,
       {TestPublicKey("a")}},
      {"no manifest",
       [](Scenario&) {},
       {L"Manifest: C:\\Users\\\u00C5se\\AppData\\Local\\Temp\\OrvakBK.ini: not found: absent",
        L"(The updater stops here; the steps below are for information.)",
        L"Installed version: \"5.2\" reads as 5.2 (decimal separator \".\")",
        L"Outcome: the run would end silently: there is no manifest in the temporary folder."}},
      {"nothing newer",
       [](Scenario& s) { s.Manifest("10\r\nslut\r\n"); },
       {L"Version test: not newer (10 sorts before 5.2: 10 sorts before 9 as text)",
        L"Outcome: the run would end silently: the offered version does not sort after the "
        L"installed one (10 sorts before 5.2: 10 sorts before 9 as text)."}},
      {"build folder",
       [](Scenario& s) {
         s.Manifest("9\r\na.dll,a.dll\r\nslut\r\n");
         s.platform.SetString(kSylkumKey, "MDE", "C:/Sylkum/Foerbuild");
       },
       {L"Build-folder guard: C:/Sylkum/Foerbuild/ is a developer build folder",
        L"  line 2: \"a.dll\" -> \"a.dll\": not reached; if reached: passed over: no such file "
        L"beside the manifest",
        L"Outcome: the run would end silently: the install folder is a developer build "
        L"folder."}},
      {"relative folder",
       [](Scenario& s) {
         s.Manifest("9\r\nslut\r\n");
         s.platform.SetString(kSylkumKey, "MDE", "Sylkum");
       },
       {L"Install folder: none: \"Sylkum\" is not an absolute folder",
        L"Outcome: the run would end silently: no product is installed."}},
      {"not installed",
       [](Scenario& s) {
         s.platform = FakePlatform();
         s.platform.SetEnv(L"temp", L"C:\\T");
         s.platform.AddFile(L"C:\\T\\OrvakBK.ini", "9\r\nslut\r\n");
       },
       {L"Registry key: HKEY_CURRENT_USER\\Software\\Zorbe IT Service\\Sylkum: does not exist",
        L"Outcome: the run would end silently: no product is installed."}},
      {"payload damaged",
       [](Scenario& s) {
         const std::string manifest = "5.3\r\na.dll,a.dll\r\nslut\r\n";
         s.Manifest(manifest);
         s.Payload(L"a.dll", "damaged");
         s.Payload(L"OrvakBK.sha256", ChecksumLines(manifest, {{"a.dll", "new"}}));
       },
       {L"Checksum file: C:\\Users\\\u00C5se\\AppData\\Local\\Temp\\OrvakBK.sha256: not "
        L"kept: the updater does not offer the update",
        L"  \"a.dll\" is damaged: its bytes do not match its line",
        L"Outcome: the run would end silently: the payload does not match its checksum file: "
        L"\"a.dll\" is damaged: its bytes do not match its line."},
       tool::kBlocked},
      {"another updater",
       [](Scenario& s) {
         s.Manifest("9\r\nslut\r\n");
         s.platform.anotherInstanceRunning = true;
       },
       {L"Another updater running now: yes",
        L"Outcome: the run would end silently: another updater is running now."}},
  };
  for (const Case& c : cases) {
    Scenario s;
    c.setUp(s);
    BuildConstants build = kBuild;
    build.signingKeys = c.keys;
    const tool::ExplainOutcome outcome = tool::Explain(s.platform, s.platform, build);
    EXPECT_EQ(outcome.status, c.status) << c.what << "\n" << EncodeUtf8(outcome.text);
    ExpectLines(outcome.text, c.lines, c.what);
    // Signature trouble is never told as a damaged payload.
    if (outcome.status == tool::kBlocked && !c.keys.empty()) {
      EXPECT_FALSE(Has(outcome.text, L"damaged")) << c.what;
      EXPECT_FALSE(Has(outcome.text, L"does not match")) << c.what;
      EXPECT_FALSE(Has(outcome.text, L"does not vouch")) << c.what;
    }
  }
}

// --- pack, on real folders ---------------------------------------------------

namespace fs = std::filesystem;

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/updater-tool-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  void Write(const std::string& relative, const std::string& content) const {
    const fs::path path = root_ / "tree" / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }
  std::string Read(const fs::path& path) const {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }
  tool::PackOutcome Pack(const std::string& out) const {
    return tool::Pack(SystemPlatform(), SystemInspection(), kBuild, L"5.3",
                      DecodeUtf8((root_ / "tree").string()), DecodeUtf8((root_ / out).string()));
  }

  fs::path root_;
};

TEST_F(PackTest, SameTreeSameBytesAndSourcesThatTheUpdaterFinds) {
  Write("Sylkum.mde", "mde");
  Write("Hj\xC3\xA6lp/Sylkum.mde", "another");  // a name taken at the top
  Write("slut", "a file named like the terminator");
  Write("OrvakBK.ini", "a file named like the manifest");
  Write(".config", "a dot file");
  Write("a,b.txt", "comma");
  Write("OrvakBK.sha256", "a file named like the checksum file");
  const tool::PackOutcome first = Pack("out1");
  ASSERT_EQ(first.status, 0) << EncodeUtf8(first.text);
  ASSERT_EQ(Pack("out2").status, 0);
  for (const char* name :
       {"OrvakBK.ini", "OrvakBK.sha256", "Sylkum.mde", "Sylkum (2).mde", "slut (2)",
        "OrvakBK (2).ini", "OrvakBK (2).sha256", "_.config", "a,b.txt"}) {
    ASSERT_TRUE(fs::exists(root_ / "out1" / name)) << name << "\n" << EncodeUtf8(first.text);
    EXPECT_EQ(Read(root_ / "out1" / name), Read(root_ / "out2" / name)) << name;
  }
  EXPECT_EQ(Read(root_ / "out1" / "OrvakBK.ini"),
            "5.3\r\n"
            "_.config,.config\r\n"
            "\"a,b.txt\",\"a,b.txt\"\r\n"
            "Sylkum (2).mde,Hj\xE6lp\\Sylkum.mde\r\n"
            "OrvakBK (2).ini,OrvakBK.ini\r\n"
            "OrvakBK (2).sha256,OrvakBK.sha256\r\n"
            "slut (2),slut\r\n"
            "Sylkum.mde,Sylkum.mde\r\n"
            "slut\r\n"
            "helt-eller-slet-ikke\r\n"
            "OrvakBK.sha256\r\n");
  // The updater takes the packed update as one that lands whole (making
  // Hj\u00E6lp itself), with the declaration among the bytes checksummed.
  const PayloadCheck packed =
      CheckPayload(SystemPlatform(), DecodeUtf8((root_ / "out1").string()) + L"/", L"OrvakBK");
  EXPECT_TRUE(packed.ok() && packed.present);
  EXPECT_TRUE(packed.declaresWhole);
  EXPECT_TRUE(Has(first.text, L"\nLands: whole or not at all")) << EncodeUtf8(first.text);
  // The checksum file is one that sha256sum itself accepts, every line of it.
  const std::string verify =
      "cd '" + (root_ / "out1").string() + "' && sha256sum --check --strict --quiet OrvakBK.sha256";
  const std::string checksums = Read(root_ / "out1" / "OrvakBK.sha256");
  EXPECT_EQ(std::system(verify.c_str()), 0) << checksums;
  EXPECT_EQ(std::count(checksums.begin(), checksums.end(), '\n'), 8)
      << checksums;  // and the manifest
}

TEST_F(PackTest, FilesTheUpdaterCannotInstallAreRefusedAndNothingIsWritten) {
  Write("ok.txt", "ok");
  Write("\xC5\x81ukasz.txt", "outside Windows-1252");
  Write("Sub/a.txt", "a");
  Write("sub/b.txt", "b");  // the same folder on Windows
  Write("CON.txt", "a device");
  Write("trailing.", "dropped by Windows");
  Write("sylkum.LDB", "the lock file of a running product");
  Write("out/OrvakBK.ini", "5.2\r\nslut\r\n");  // an earlier update
  const tool::PackOutcome outcome = Pack("out");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_FALSE(fs::exists(root_ / "out"));
  for (const wchar_t* refused :
       {L"refused: \u0141ukasz.txt: the name has characters outside Windows-1252",
        L"refused: sylkum.LDB: the product's lock file",
        L"refused: out\\OrvakBK.ini: a file of a packed update",
        L"refused: sub: its name differs from Sub only in letter case",
        L"refused: CON.txt: the name is one Windows keeps for a device",
        L"refused: trailing.: the name ends in a dot or a space"}) {
    EXPECT_TRUE(Has(outcome.text, refused)) << EncodeUtf8(refused) << "\n"
                                            << EncodeUtf8(outcome.text);
  }
}

TEST_F(PackTest, EmptyFilesPackAndLinksAreRefused) {
  Write("empty.log", "");
  // What Windows and Office make by themselves is left out, and named.
  Write("Billeder/Thumbs.db", "thumbnails");
  Write("DESKTOP.INI", "folder settings");
  Write("~$rapport.docx", "owner");
  tool::PackOutcome outcome = Pack("out1");
  ASSERT_EQ(outcome.status, 0) << EncodeUtf8(outcome.text);
  EXPECT_EQ(Read(root_ / "out1" / "empty.log"), "");
  EXPECT_EQ(Read(root_ / "out1" / "OrvakBK.ini"),
            "5.3\r\nempty.log,empty.log\r\nslut\r\nhelt-eller-slet-ikke\r\nOrvakBK.sha256\r\n");
  EXPECT_TRUE(Has(outcome.text,
                  L"Left out, made by Windows or Office by themselves:\n  Billeder\\Thumbs.db\n"
                  L"  DESKTOP.INI\n  ~$rapport.docx\n"))
      << EncodeUtf8(outcome.text);

  // A link would arrive under its own name as a copy, or not at all.
  fs::create_directories(root_ / "elsewhere");
  std::ofstream(root_ / "elsewhere" / "real.txt") << "real";
  fs::create_symlink(root_ / "elsewhere" / "real.txt", root_ / "tree" / "link.txt");
  fs::create_directory_symlink(root_ / "elsewhere", root_ / "tree" / "Linked");
  outcome = Pack("out2");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_FALSE(fs::exists(root_ / "out2"));
  EXPECT_TRUE(Has(outcome.text,
                  L"  refused: Linked: a link; pack takes plain files and folders "
                  L"only\n  refused: link.txt: a link"))
      << EncodeUtf8(outcome.text);

  const tool::PackOutcome badVersion =
      tool::Pack(SystemPlatform(), SystemInspection(), kBuild, L"5.3\x1A",
                 DecodeUtf8((root_ / "tree").string()), DecodeUtf8((root_ / "out3").string()));
  EXPECT_EQ(badVersion.status, 2);
  EXPECT_FALSE(fs::exists(root_ / "out3"));
}

TEST_F(PackTest, OutMustBeEmpty) {
  Write("ok.txt", "ok");
  fs::create_directories(root_ / "out");
  std::ofstream(root_ / "out" / "old.dll") << "stale";
  EXPECT_EQ(Pack("out").status, 2);
  EXPECT_EQ(Read(root_ / "out" / "old.dll"), "stale");
  // An OUT inside the tree would be packed into the next update.
  const tool::PackOutcome inside = Pack("tree/packed");
  EXPECT_EQ(inside.status, 1);
  EXPECT_TRUE(Has(inside.text, L"lies inside")) << EncodeUtf8(inside.text);
  EXPECT_FALSE(fs::exists(root_ / "tree" / "packed"));
}

// A maker's key made by keygen signs with pack; openssl verifies that
// signature, check verifies it with the public key, names the key by its
// fingerprint, and tells a signature by another key. openssl's own keys
// (both PEM forms it writes) sign as well.
TEST_F(PackTest, SignedPackVerifiesWithOpensslAndCheck) {
  Write("Sylkum.mde", "mde");
  const std::wstring keys = DecodeUtf8((root_ / "keys").string());
  const tool::KeygenOutcome made = tool::Keygen(SystemSigning(), keys);
  ASSERT_EQ(made.status, 0);
  EXPECT_EQ(tool::Keygen(SystemSigning(), keys).status, 1);  // never over a key
  // A second key, named, shares the folder.
  const tool::KeygenOutcome named = tool::Keygen(SystemSigning(), keys, L"maker-2027");
  ASSERT_EQ(named.status, 0) << EncodeUtf8(named.text);
  EXPECT_TRUE(fs::exists(root_ / "keys" / "maker-2027.pem"));
  EXPECT_TRUE(fs::exists(root_ / "keys" / "maker-2027.pub.pem"));
  const auto fingerprint = [](const std::wstring& text) {
    const std::size_t at = text.find(L"Fingerprint: ");
    return at == std::wstring::npos ? std::wstring() : text.substr(at + 13, 16);
  };
  ASSERT_EQ(fingerprint(made.text).size(), 16u) << EncodeUtf8(made.text);
  EXPECT_NE(fingerprint(made.text), fingerprint(named.text));
  EXPECT_EQ(fs::status(root_ / "keys" / "maker-key.pem").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  const std::string makers[] = {(root_ / "keys" / "maker-key.pem").string(),
                                std::string(TEST_KEYS) + "/test-signing-key-a.pem",
                                std::string(TEST_KEYS) + "/test-signing-key-b.pem"};
  for (std::size_t k = 0; k < 3; ++k) {
    const std::string& key = makers[k];
    std::wstring why;
    const std::optional<tool::MakerKey> maker = tool::ParsePrivateKeyPem(Read(key), &why);
    ASSERT_TRUE(maker.has_value()) << key << ": " << EncodeUtf8(why);
    const std::string out = "out-" + std::to_string(k);
    const tool::PackOutcome packed = tool::Pack(SystemPlatform(), SystemInspection(), kBuild,
                                                L"5.3", DecodeUtf8((root_ / "tree").string()),
                                                DecodeUtf8((root_ / out).string()), &*maker);
    ASSERT_EQ(packed.status, 0) << EncodeUtf8(packed.text);
    // keygen named the key as pack names it.
    if (k == 0) {
      EXPECT_TRUE(Has(packed.text, L"signed with key " + fingerprint(made.text)));
    }
    EXPECT_NE(Read(root_ / out / "OrvakBK.ini")
                  .find("slut\r\nhelt-eller-slet-ikke\r\nOrvakBK.sha256\r\nOrvakBK.sha256.sig\r\n"),
              std::string::npos);
    // The public half as openssl writes it verifies the signature.
    const std::string pub = (root_ / (out + ".pub.pem")).string();
    const std::string verify = "openssl pkey -in '" + key + "' -pubout -out '" + pub +
                               "' && openssl dgst -sha256 -verify '" + pub + "' -signature '" +
                               (root_ / out / "OrvakBK.sha256.sig").string() + "' '" +
                               (root_ / out / "OrvakBK.sha256").string() + "' >/dev/null";
    EXPECT_EQ(std::system(verify.c_str()), 0) << key;
    BuildConstants signedBuild = kBuild;
    signedBuild.signingKeys = {*tool::ReadPublicKeyFile(DecodeUtf8(pub), &why)};
    const tool::CheckOutcome checked = tool::CheckFolder(
        SystemPlatform(), SystemInspection(), signedBuild, DecodeUtf8((root_ / out).string()), {});
    EXPECT_EQ(checked.status, 0) << EncodeUtf8(checked.text);
    EXPECT_TRUE(
        Has(checked.text,
            L"; signed by key " + KeyFingerprint(SystemPlatform(), signedBuild.signingKeys[0])));
  }
  // Checked with another key, the signature is not its.
  BuildConstants other = kBuild;
  std::wstring why;
  other.signingKeys = {*tool::ReadPublicKeyFile(
      DecodeUtf8(std::string(TEST_KEYS) + "/test-signing-key-b.pub.pem"), &why)};
  const tool::CheckOutcome checked = tool::CheckFolder(SystemPlatform(), SystemInspection(), other,
                                                       DecodeUtf8((root_ / "out-0").string()), {});
  EXPECT_EQ(checked.status, 1);
  EXPECT_TRUE(Has(checked.text, L"was not made by any of the keys " +
                                    KeyFingerprint(SystemPlatform(), other.signingKeys[0])))
      << EncodeUtf8(checked.text);
}

// A key file whose public half belongs to another key would name that key
// and sign what nobody can verify: it is refused before anything is
// written, and pack writes no manifest with it.
TEST_F(PackTest, AKeyFileWhoseHalvesDoNotBelongTogetherSignsNothing) {
  Write("Sylkum.mde", "mde");
  std::wstring why;
  const tool::MakerKey a =
      *tool::ParsePrivateKeyPem(Read(std::string(TEST_KEYS) + "/test-signing-key-a.pem"), &why);
  const tool::MakerKey b =
      *tool::ParsePrivateKeyPem(Read(std::string(TEST_KEYS) + "/test-signing-key-b.pem"), &why);
  EXPECT_TRUE(tool::CheckKeyPair(SystemPlatform(), SystemSigning(), a, &why)) << EncodeUtf8(why);
  const tool::MakerKey mixed{a.key, b.point};
  // Written and read back as a key file, it still parses: only signing tells.
  const std::optional<tool::MakerKey> file =
      tool::ParsePrivateKeyPem(tool::PrivateKeyPem(mixed), &why);
  ASSERT_TRUE(file.has_value());
  EXPECT_FALSE(tool::CheckKeyPair(SystemPlatform(), SystemSigning(), *file, &why));
  EXPECT_TRUE(Has(why, L"does not belong to its private key")) << EncodeUtf8(why);
  const tool::PackOutcome packed = tool::Pack(SystemPlatform(), SystemInspection(), kBuild, L"5.3",
                                              DecodeUtf8((root_ / "tree").string()),
                                              DecodeUtf8((root_ / "out").string()), &*file);
  EXPECT_NE(packed.status, 0) << EncodeUtf8(packed.text);
  EXPECT_FALSE(fs::exists(root_ / "out" / "OrvakBK.ini"));
  EXPECT_FALSE(fs::exists(root_ / "out" / "OrvakBK.sha256.sig"));
}

// A packed update edited by hand no longer matches its checksum file; one
// command seals it again.
TEST_F(PackTest, AnUpdateEditedByHandIsSealedAgain) {
  Write("Sylkum.mde", "mde");
  ASSERT_EQ(Pack("out").status, 0);
  std::ofstream(root_ / "out" / "OrvakBK.ini", std::ios::binary)
      << "5.4\r\nSylkum.mde,Sylkum.mde\r\nny.dll,ny.dll\r\nslut\r\n";
  std::ofstream(root_ / "out" / "ny.dll", std::ios::binary) << "ny";
  const std::wstring out = DecodeUtf8((root_ / "out").string());
  EXPECT_EQ(tool::CheckFolder(SystemPlatform(), SystemInspection(), kBuild, out, {}).status, 1);
  const tool::SealOutcome sealed = tool::Seal(SystemPlatform(), SystemInspection(), kBuild, out);
  EXPECT_EQ(sealed.status, 0) << EncodeUtf8(sealed.text);
  EXPECT_TRUE(Has(sealed.text, L"now vouches for the manifest and 2 payload files"))
      << EncodeUtf8(sealed.text);
  // Paths are shown with the separator the folder was typed with, never a mix.
  EXPECT_TRUE(Has(sealed.text, L"Manifest: " + out + L"/OrvakBK.ini\n")) << EncodeUtf8(sealed.text);
  for (const std::wstring& line : Lines(sealed.text)) {
    EXPECT_FALSE(Has(line, L"/") && Has(line, L"\\")) << EncodeUtf8(line);
  }
  EXPECT_EQ(std::system(("cd '" + (root_ / "out").string() +
                         "' && sha256sum --check --strict --quiet OrvakBK.sha256")
                            .c_str()),
            0);
}

// A signed build's maker who signs in a later step: pack without --sign
// writes the update, exits 0 and names the two ways to sign; the openssl
// way, as printed, gives an update the build takes.
TEST_F(PackTest, ASignedBuildsPackWithoutSignNamesTheTwoWaysToSign) {
  Write("Sylkum.mde", "mde");
  BuildConstants signedBuild = kBuild;
  signedBuild.signingKeys = {TestPublicKey("a")};
  const std::wstring out = DecodeUtf8((root_ / "out").string());
  const tool::PackOutcome packed = tool::Pack(SystemPlatform(), SystemInspection(), signedBuild,
                                              L"5.3", DecodeUtf8((root_ / "tree").string()), out);
  EXPECT_EQ(packed.status, 0) << EncodeUtf8(packed.text);
  const std::wstring command = L"openssl dgst -sha256 -sign KEY -out " + out +
                               L"/OrvakBK.sha256.sig " + out + L"/OrvakBK.sha256";
  EXPECT_TRUE(Has(packed.text, L"  updater-tool seal --sign KEY " + out + L"\n"))
      << EncodeUtf8(packed.text);
  ASSERT_TRUE(Has(packed.text, L"  " + command + L"\n")) << EncodeUtf8(packed.text);
  EXPECT_EQ(tool::CheckFolder(SystemPlatform(), SystemInspection(), signedBuild, out, {}).status,
            1);
  std::string run = EncodeUtf8(command);
  run.replace(run.find("KEY"), 3, std::string(TEST_KEYS) + "/test-signing-key-a.pem");
  ASSERT_EQ(std::system(run.c_str()), 0) << run;
  const tool::CheckOutcome checked =
      tool::CheckFolder(SystemPlatform(), SystemInspection(), signedBuild, out, {});
  EXPECT_EQ(checked.status, 0) << EncodeUtf8(checked.text);

  // Anything wrong besides the signature still fails.
  Write("OrvakBK.ini", "in the tree");
  Write("Sub/OrvakBK.ini", "an earlier update");
  EXPECT_EQ(tool::Pack(SystemPlatform(), SystemInspection(), signedBuild, L"5.3",
                       DecodeUtf8((root_ / "tree").string()), DecodeUtf8((root_ / "out2").string()))
                .status,
            1);
}

// seal never leaves a signature its new checksum file no longer matches:
// without --sign it refuses and changes nothing, or drops the signature when
// told to; with --sign it signs anew.
TEST_F(PackTest, SealOnASignedFolder) {
  Write("Sylkum.mde", "mde");
  const tool::MakerKey key = TestMakerKey("a");
  ASSERT_EQ(
      tool::Pack(SystemPlatform(), SystemInspection(), kBuild, L"5.3",
                 DecodeUtf8((root_ / "tree").string()), DecodeUtf8((root_ / "out").string()), &key)
          .status,
      0);
  std::ofstream(root_ / "out" / "Sylkum.mde", std::ios::binary) << "edited";
  const std::string checksums = Read(root_ / "out" / "OrvakBK.sha256");
  const std::string signature = Read(root_ / "out" / "OrvakBK.sha256.sig");
  const std::wstring out = DecodeUtf8((root_ / "out").string());
  const tool::SealOutcome refused = tool::Seal(SystemPlatform(), SystemInspection(), kBuild, out);
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(Has(refused.text, L"updater-tool seal --sign KEY " + out))
      << EncodeUtf8(refused.text);
  EXPECT_EQ(Read(root_ / "out" / "OrvakBK.sha256"), checksums);
  EXPECT_EQ(Read(root_ / "out" / "OrvakBK.sha256.sig"), signature);

  BuildConstants signedBuild = kBuild;
  signedBuild.signingKeys = {TestPublicKey("a")};
  const tool::SealOutcome resigned =
      tool::Seal(SystemPlatform(), SystemInspection(), signedBuild, out, &key);
  EXPECT_EQ(resigned.status, 0) << EncodeUtf8(resigned.text);
  EXPECT_NE(Read(root_ / "out" / "OrvakBK.sha256"), checksums);
  // Sealed again, the update still lands whole.
  EXPECT_TRUE(CheckPayload(SystemPlatform(), out + L"/", L"OrvakBK").declaresWhole);

  const tool::SealOutcome dropped =
      tool::Seal(SystemPlatform(), SystemInspection(), kBuild, out, nullptr, true);
  EXPECT_TRUE(Has(dropped.text, L"Removed the old signature")) << EncodeUtf8(dropped.text);
  EXPECT_FALSE(fs::exists(root_ / "out" / "OrvakBK.sha256.sig"));
}

// The value of each expression over the JSON document `json` (as `d`),
// read back by Python's own parser, as a release pipeline would read it.
std::vector<std::string> FromJson(const fs::path& folder, const std::wstring& json,
                                  const std::vector<std::string>& expressions) {
  const fs::path document = folder / "document.json";
  const fs::path answer = folder / "answer.txt";
  const fs::path script = folder / "read.py";
  std::ofstream(document, std::ios::binary) << EncodeUtf8(json);
  {
    std::ofstream code(script, std::ios::binary);
    code << "import json, sys\n"
            "d = json.load(open(sys.argv[1], encoding='ascii'))\n"
            "out = open(sys.argv[2], 'w', encoding='utf-8')\n";
    for (const std::string& expression : expressions) {
      code << "v = " << expression
           << "\nout.write((v if isinstance(v, str) else repr(v)) + '\\n')\n";
    }
  }
  const std::string command =
      "python3 '" + script.string() + "' '" + document.string() + "' '" + answer.string() + "'";
  std::vector<std::string> answers;
  if (std::system(command.c_str()) != 0) return answers;
  std::ifstream in(answer, std::ios::binary);
  for (std::string line; std::getline(in, line);) answers.push_back(line);
  return answers;
}

// The lines under "Entries:".
std::string EntryLines(const std::wstring& text) {
  std::size_t n = 0;
  bool in = false;
  for (const std::wstring& line : Lines(text)) {
    in = line == L"Entries:" || (in && line.rfind(L"  ", 0) == 0);
    n += in && line.rfind(L"  line ", 0) == 0;
  }
  return std::to_string(n);
}

// --json holds the same facts as the text: parsed back, its counts are the
// text's, and names with control characters and letters beyond ASCII come
// back exactly.
TEST_F(PackTest, JsonParsesBackWithTheTextsCounts) {
  FakePlatform platform;
  const std::string manifest =
      "\xEF\xBB\xBF"
      "5.3\r\nb\xC3\xB8ger.dat,B\xC3\xB8ger\\\xF0\x9F\x98\x80.dat\r\n\"a\x01\tq\\\"\",x.dll\r\n"
      "b\xC3\xB8ger.dat,..\\gone.dll\r\nslut\r\n";
  platform.AddFile(L"C:\\Upd\\OrvakBK.ini", manifest);
  platform.AddFile(L"C:\\Upd\\b\u00F8ger.dat", "b");
  const tool::CheckOutcome checked =
      tool::CheckFolder(platform, platform, kBuild, kFolder, {L"5.2"});
  for (wchar_t c : checked.json) ASSERT_LT(static_cast<unsigned>(c), 0x7Fu) << "not ASCII";
  EXPECT_TRUE(Has(checked.text, L"; " + std::to_wstring(checked.problems) + L" problems.\n"));
  EXPECT_EQ(
      FromJson(root_, checked.json,
               {"d['status']", "len(d['entries'])", "len(d['problems'])",
                "d['entries'][0]['destination']", "d['entries'][1]['source']",
                "[e['fate'] for e in d['entries']]",
                "(d['result']['copied'], d['installed'][0]['pointLocale'])",
                "(d['listEnds'], d['cutEntry'], d['whole'])"}),
      (std::vector<std::string>{
          std::to_string(checked.status), EntryLines(checked.text),
          std::to_string(checked.problems), "B\xC3\xB8ger\\\xF0\x9F\x98\x80.dat", "a\x01\tq\\",
          "['copied', 'passed over', 'refused']", "(1, True)", "(True, None, False)"}));

  // explain: its entries and its counts are the text's.
  Scenario s;
  s.Manifest("5.3\r\na.dll,a.dll\r\nny.dll,Mangler\\ny.dll\r\ngone.dll,gone.dll\r\nslut\r\n");
  s.Payload(L"a.dll", "new");
  s.Payload(L"ny.dll", "new");
  const tool::ExplainOutcome explained = tool::Explain(s.platform, s.platform, kBuild);
  EXPECT_TRUE(Has(explained.text, L" 1 of its 2 entries would not be updated now."));
  EXPECT_EQ(FromJson(root_, explained.json,
                     {"(d['status'], d['outcome']['offered'])", "len(d['entries'])",
                      "d['outcome']['entriesFailing']", "[e['wouldFail'] for e in d['entries']]",
                      "d['outcome']['text']",
                      "(d['whole'], d['diskSpace'], d['outcome']['nothingInstalled'])"}),
            (std::vector<std::string>{
                "(4, True)", EntryLines(explained.text), "1", "[False, True, False]",
                EncodeUtf8(Lines(explained.text).back().substr(9)), "(False, None, False)"}));
  // An update that lands whole, with too little room: the figures, in bytes.
  Scenario whole;
  WholeUpdate([](Scenario& s) { s.platform.freeSpace = 1 << 20; })(whole);
  const tool::ExplainOutcome tight = tool::Explain(whole.platform, whole.platform, kBuild);
  EXPECT_EQ(FromJson(root_, tight.json,
                     {"(d['status'], d['whole'], d['outcome']['nothingInstalled'])",
                      "(d['diskSpace']['needed'], d['diskSpace']['available'])"}),
            (std::vector<std::string>{"(4, True, True)",
                                      "(" + std::to_string(WithMargin(6)) + ", 1048576)"}));
}

}  // namespace
}  // namespace updater
