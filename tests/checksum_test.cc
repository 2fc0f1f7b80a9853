// The checksum file beside the manifest: how it is read, how the payload is
// held against it, and what a run does with it.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "faulty_platform.h"
#include "scenario.h"
#include "update/checksums.h"

namespace updater {
namespace {

using testing::DigestOf;
using testing::FakePlatform;
using testing::kFailedHeading;
using testing::kUpdatedHeading;
using testing::Scenario;

const char kManifest[] = "5.3\r\nsylkum.mde,Sylkum.mde\r\nHJ\xC6LP.CHM,Hj\xE6lp.chm\r\nslut\r\n";
const wchar_t kHelpSource[] = L"HJ\u00C6LP.CHM";  // as the manifest writes it
const wchar_t kMde[] = L"C:\\Prog\\Sylkum\\Sylkum.mde";
const wchar_t kHelp[] = L"C:\\Prog\\Sylkum\\Hj\u00E6lp.chm";

std::string Hex(const std::string& content) { return DigestHex(DigestOf(content)); }
std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}
std::string Line(const std::string& content, const std::string& name) {
  return Hex(content) + "  " + name + "\n";
}

// The checksum file a publisher writes for `manifest` and the standard payload.
std::string Matching(const std::string& manifest = kManifest) {
  return Line(manifest, "OrvakBK.ini") + Line("new mde", "sylkum.mde") +
         Line("new help", "hj\xC3\xA6lp.chm");
}

// The standard scene: two payload files, one of them replacing a file.
void SetUpScene(Scenario& s) {
  s.Manifest(kManifest);
  s.Payload(L"sylkum.mde", "new mde");
  s.Payload(L"hj\u00E6lp.chm", "new help");
  s.platform.AddFile(kMde, "old mde");
}
void Checksums(Scenario& s, const std::string& text) { s.Payload(L"OrvakBK.sha256", text); }

PayloadCheck Check(Platform& platform) {
  return CheckPayload(platform, std::wstring(testing::kTemp) + L"\\", L"OrvakBK");
}

using Problem = std::pair<int, std::wstring>;  // PayloadFault, name
Problem P(PayloadFault fault, const std::wstring& name) { return {static_cast<int>(fault), name}; }
std::vector<Problem> Problems(const PayloadCheck& check) {
  std::vector<Problem> problems;
  for (const PayloadProblem& p : check.problems) problems.push_back(P(p.fault, p.name));
  return problems;
}

TEST(ParseChecksumsTest, AcceptsWhatSha256sumWrites) {
  EXPECT_EQ(Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  struct Case {
    const char* what;
    std::string text;
    std::vector<std::pair<std::wstring, std::string>> entries;  // name looked up, content
  };
  const Case cases[] = {
      {"the known vector",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad  abc.txt\n",
       {{L"abc.txt", "abc"}}},
      {"upper-case hex, binary mode, no last line end",
       Upper(Hex("a")) + " *A.DLL",
       {{L"a.dll", "a"}}},
      {"byte order mark, CR LF and empty lines",
       "\xEF\xBB\xBF" + Hex("a") + "  a.dll\r\n\r\n\n" + Hex("b") + "  b.dll\r\n",
       {{L"A.dll", "a"}, {L"b.DLL", "b"}}},
      {"UTF-8 name in any letter case", Line("h", "hj\xC3\xA6lp.chm"), {{L"HJ\u00C6LP.CHM", "h"}}},
      {"escaped name", "\\" + Hex("e") + "  a\\\\b\\nc\n", {{L"a\\b\nc", "e"}}},
      {"one file twice alike", Line("a", "a.dll") + Line("a", "A.DLL"), {{L"a.dll", "a"}}},
  };
  FakePlatform platform;
  for (const Case& c : cases) {
    const ParsedChecksums parsed = ParseChecksums(platform, c.text);
    EXPECT_EQ(parsed.fault, ChecksumFileFault::kNone) << c.what;
    EXPECT_EQ(parsed.list.size(), c.entries.size()) << c.what;
    for (const auto& [name, content] : c.entries) {
      const Sha256* digest = parsed.list.Find(name);
      ASSERT_NE(digest, nullptr) << c.what;
      EXPECT_EQ(*digest, DigestOf(content)) << c.what;
    }
  }
}

TEST(ParseChecksumsTest, RejectsAnythingElseAtItsLine) {
  struct Case {
    const char* what;
    std::string text;
    ChecksumFileFault fault;
    std::size_t line;
  };
  const std::string a = Hex("a");
  const Case cases[] = {
      {"63 digits", a.substr(1) + "  a.dll\n", ChecksumFileFault::kMalformed, 1},
      {"65 digits", a + "0  a.dll\n", ChecksumFileFault::kMalformed, 1},
      {"not hex", "g" + a.substr(1) + "  a.dll\n", ChecksumFileFault::kMalformed, 1},
      {"one space", a + " a.dll\n", ChecksumFileFault::kMalformed, 1},
      {"a tab", a + "\ta.dll\n", ChecksumFileFault::kMalformed, 1},
      {"no name", a + "  \n", ChecksumFileFault::kMalformed, 1},
      {"name not UTF-8", a + "  hj\xE6lp.chm\n", ChecksumFileFault::kMalformed, 1},
      {"unknown escape", "\\" + a + "  a\\tb\n", ChecksumFileFault::kMalformed, 1},
      {"empty lines count", a + "  a.dll\r\n\r\nrubbish\r\n", ChecksumFileFault::kMalformed, 3},
      {"two digests for one name", Line("a", "a.dll") + Line("b", "A.DLL"),
       ChecksumFileFault::kConflict, 2},
  };
  FakePlatform platform;
  for (const Case& c : cases) {
    const ParsedChecksums parsed = ParseChecksums(platform, c.text);
    EXPECT_EQ(parsed.fault, c.fault) << c.what;
    EXPECT_EQ(parsed.line, c.line) << c.what;
  }
}

// Each case is checked, then run: a payload that keeps the promise (or has
// none to keep) is offered and copied, any other ends the run without a box.
TEST(CheckPayloadTest, EveryBrokenPromiseIsListedAndNothingIsOffered) {
  struct Case {
    const char* what;
    std::optional<std::string> checksums;  // no value: no checksum file
    std::function<void(Scenario&)> alter;  // the scene, before the check
    std::vector<Problem> problems;
    ChecksumFileFault fileFault = ChecksumFileFault::kNone;
    std::size_t line = 0;
  };
  const std::string uncopied =
      "5.3\r\n,empty.dll\r\ndata\\x.mdb,x.mdb\r\n*.mde,wild.mde\r\nsylkum.mde,Sylkum.mde\r\n"
      "HJ\xC6LP.CHM,Hj\xE6lp.chm\r\nslut\r\n";
  // Two names a locale's collation takes for one (it ignores the soft
  // hyphen), which the file system keeps apart.
  const std::string softHyphen =
      "5.3\r\nsylkum.mde,Sylkum.mde\r\nHJ\xC6LP.CHM,Hj\xE6lp.chm\r\nrap\xADport.mdb,a.mdb\r\n"
      "rapport.mdb,b.mdb\r\nslut\r\n";
  std::string limit = Matching();
  limit.resize(kMaxChecksumFileBytes, '\n');
  const auto nothing = [](Scenario&) {};
  const auto tamper = [](Scenario& s) { s.Payload(L"sylkum.mde", "tampered"); };
  const PayloadFault kFile = PayloadFault::kChecksumFile;
  const Case cases[] = {
      {"no checksum file", std::nullopt, nothing, {}},
      {"matching", Matching(), nothing, {}},
      {"other letter case, upper-case hex, binary mode",
       Upper(Hex(kManifest)) + " *orvakbk.INI\n" + Line("new mde", "SYLKUM.MDE") +
           Upper(Hex("new help")) + " *hj\xC3\xA6LP.chm\n",
       nothing,
       {}},
      {"sources never copied are not checked, extra lines do no harm",
       Matching(uncopied) + Line("x", "readme.txt"),
       [&](Scenario& s) { s.Manifest(uncopied); },
       {}},
      {"exactly the largest file read", limit, nothing, {}},
      {"names the locale takes for one keep a line each",
       Matching(softHyphen) + Line("soft", "rap\xC2\xADport.mdb") + Line("plain", "rapport.mdb"),
       [&](Scenario& s) {
         s.Manifest(softHyphen);
         s.Payload(L"rap\u00ADport.mdb", "soft");
         s.Payload(L"rapport.mdb", "plain");
       },
       {}},
      {"damaged and missing",
       Matching(),
       [&](Scenario& s) {
         tamper(s);
         s.platform.Remove(Scenario::TempFile(L"hj\u00E6lp.chm"));
       },
       {P(PayloadFault::kDamaged, L"sylkum.mde"), P(PayloadFault::kMissing, kHelpSource)}},
      {"hidden, over a damaged payload",
       Matching(),
       [&](Scenario& s) {
         s.platform.AddFile(Scenario::TempFile(L"OrvakBK.sha256"), Matching(), true);
         tamper(s);
       },
       {P(PayloadFault::kDamaged, L"sylkum.mde")}},
      {"source unlisted",
       Line(kManifest, "OrvakBK.ini") + Line("new mde", "sylkum.mde"),
       nothing,
       {P(PayloadFault::kUnlisted, kHelpSource)}},
      {"manifest unlisted",
       Line("new mde", "sylkum.mde") + Line("new help", "hj\xC3\xA6lp.chm"),
       nothing,
       {P(PayloadFault::kManifestUnlisted, L"OrvakBK.ini")}},
      {"empty", "", nothing, {P(PayloadFault::kManifestUnlisted, L"OrvakBK.ini")}},
      {"another manifest's, over a damaged payload",
       Matching("5.2\r\nslut\r\n"),
       tamper,
       {P(PayloadFault::kOtherManifest, L"OrvakBK.ini")}},
      {"malformed",
       Matching() + "rubbish\n",
       nothing,
       {P(kFile, L"")},
       ChecksumFileFault::kMalformed,
       4},
      {"larger than the largest file read",
       limit + "\n",
       nothing,
       {P(kFile, L"")},
       ChecksumFileFault::kUnreadable},
  };
  for (const Case& c : cases) {
    Scenario s;
    SetUpScene(s);
    if (c.checksums) Checksums(s, *c.checksums);
    c.alter(s);
    const PayloadCheck check = Check(s.platform);
    EXPECT_EQ(check.present, c.checksums.has_value()) << c.what;
    EXPECT_EQ(Problems(check), c.problems) << c.what;
    EXPECT_EQ(check.checksumFault, c.fileFault) << c.what;
    EXPECT_EQ(check.checksumFaultLine, c.line) << c.what;

    s.platform.hashed.clear();
    ASSERT_TRUE(s.Run()) << c.what;
    if (c.problems.empty()) {
      EXPECT_EQ(s.platform.boxes.size(), 3u) << c.what;
      EXPECT_EQ(s.platform.Content(kMde), "new mde") << c.what;
      EXPECT_EQ(s.platform.Content(kHelp), "new help") << c.what;
    } else {
      EXPECT_TRUE(s.platform.boxes.empty()) << c.what;
      EXPECT_TRUE(s.platform.copies.empty()) << c.what;
    }
    if (!c.checksums) {
      EXPECT_TRUE(s.platform.hashed.empty()) << c.what;
    }
  }
}

// A presence test that cannot be made leaves it to the reading; any other
// failing call keeps the update from being offered.
TEST(CheckPayloadTest, AFailingCallNeverLetsAnUncheckedSourceThrough) {
  bool sawSourceHash = false;
  for (int failAt = 1;; ++failAt) {
    Scenario s;
    SetUpScene(s);
    Checksums(s, Matching());
    testing::FaultyPlatform faulty(s.platform, failAt);
    const PayloadCheck check = Check(faulty);
    const std::wstring failed = faulty.failed();
    if (failed.empty()) break;  // every call has failed once
    const std::string when = EncodeUtf8(failed);
    if (failed.rfind(L"FindFileName ", 0) == 0) {
      EXPECT_TRUE(check.ok()) << when;
      EXPECT_EQ(check.verified.size(), 2u) << when;
    } else {
      EXPECT_FALSE(check.ok()) << when;
    }
    if (failed == L"HashFile " + Scenario::TempFile(L"sylkum.mde")) {
      sawSourceHash = true;
      EXPECT_EQ(Problems(check), std::vector<Problem>{P(PayloadFault::kUnreadable, L"sylkum.mde")});
    }
  }
  EXPECT_TRUE(sawSourceHash);
}

TEST(ChecksumRunTest, SilentEndsWithNothingNewerReadNoPayload) {
  const std::pair<const char*, std::function<void(FakePlatform&)>> cases[] = {
      {"not newer", [](FakePlatform& p) { p.SetString(testing::kSylkumKey, "Version", "5.3"); }},
      {"not installed",
       [](FakePlatform& p) { p.SetValue(testing::kSylkumKey, "MDE", kRegBinary, "x"); }},
      {"build folder",
       [](FakePlatform& p) { p.SetString(testing::kSylkumKey, "MDE", "C:\\Sylkum\\Foerbuild"); }},
      {"another updater", [](FakePlatform& p) { p.anotherInstanceRunning = true; }},
  };
  for (const auto& [what, setUp] : cases) {
    Scenario s;
    SetUpScene(s);
    Checksums(s, Matching());
    setUp(s.platform);
    ASSERT_TRUE(s.Run()) << what;
    EXPECT_TRUE(s.platform.boxes.empty()) << what;
    EXPECT_TRUE(s.platform.copies.empty()) << what;
    EXPECT_TRUE(s.platform.hashed.empty()) << what;
    for (const std::wstring& find : s.platform.finds) {
      EXPECT_EQ(find.find(L".sha256"), std::wstring::npos) << what;
    }
  }
}

// The list must still be the one checked: a manifest replaced while the
// updater waited for the product, here sending a checked source elsewhere,
// copies nothing and says so.
// What is installed is what was checked: the manifest, read once into
// memory, is the list of both passes, whatever lies in the temporary folder
// by the time the copies begin.
TEST(ChecksumRunTest, AManifestReplacedWhileWaitingChangesNothing) {
  Scenario s;
  SetUpScene(s);
  Checksums(s, Matching());
  const std::wstring lock = L"C:\\Prog\\Sylkum\\Sylkum.ldb";
  s.platform.AddFile(lock, "");
  s.platform.onSleep = [&](int) {
    s.Manifest("5.3\r\nsylkum.mde,Andet.mde\r\nslut\r\n");
    s.platform.Remove(lock);
  };
  ASSERT_TRUE(s.Run());
  ASSERT_EQ(s.platform.boxes.size(), 3u);
  EXPECT_EQ(s.platform.boxes.back().prompt,
            std::wstring(kUpdatedHeading) + kMde + L"\r\n" + kHelp + L"\r\n");
  EXPECT_FALSE(s.platform.HasFile(L"C:\\Prog\\Sylkum\\Andet.mde"));
  EXPECT_EQ(s.platform.Content(kMde), "new mde");
}

// Under a checksum file each copy is held to the digest found at the check:
// a payload file rewritten or removed since is not copied, the rest still
// are. Without one, the copy takes the file as it is.
TEST(ChecksumRunTest, ASourceChangedAfterTheCheckKeepsTheOldFile) {
  const auto rewrite = [](FakePlatform& p) {
    p.AddFile(Scenario::TempFile(L"sylkum.mde"), "tampered");
  };
  struct Case {
    const char* what;
    bool checksumFile;
    std::function<void(FakePlatform&)> change;  // at the start of the copy of sylkum.mde
    std::string mde;                            // Sylkum.mde afterwards
    std::wstring summary;
  };
  const std::wstring br = L"\r\n";
  const Case cases[] = {
      {"rewritten", true, rewrite, "old mde",
       kUpdatedHeading + (kHelp + br) + br + kFailedHeading + kMde +
           L" (kildefilen er \u00E6ndret)" + br},
      {"another removed", true,
       [](FakePlatform& p) { p.Remove(Scenario::TempFile(L"hj\u00E6lp.chm")); }, "new mde",
       kUpdatedHeading + (kMde + br) + br + kFailedHeading + kHelp + L" (kildefilen mangler)" + br},
      {"rewritten, no checksum file", false, rewrite, "tampered",
       kUpdatedHeading + (kMde + br) + kHelp + br},
  };
  for (const Case& c : cases) {
    Scenario s;
    SetUpScene(s);
    if (c.checksumFile) Checksums(s, Matching());
    s.platform.onOpen = [&](const std::wstring& source) {
      if (source == Scenario::TempFile(L"sylkum.mde")) c.change(s.platform);
    };
    ASSERT_TRUE(s.Run()) << c.what;
    ASSERT_EQ(s.platform.boxes.size(), 3u) << c.what;
    EXPECT_EQ(s.platform.boxes.back().prompt, c.summary) << c.what;
    EXPECT_EQ(s.platform.boxes.back().flags, c.checksumFile ? kMbIconWarning : kMbIconInformation)
        << c.what;
    EXPECT_EQ(s.platform.Content(kMde), c.mde) << c.what;
  }
}

}  // namespace
}  // namespace updater
