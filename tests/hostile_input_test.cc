// Manifests made to hurt: endless lines, files of gigabytes, NUL bytes and
// the bytes Windows-1252 leaves undefined. Each has one clear outcome, and
// the reading stays bounded; the huge files are generated as they are read,
// so no test holds them in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "manifest/manifest_reader.h"
#include "scenario.h"

namespace updater {
namespace {

using testing::kInstall;
using testing::kPrompt;
using testing::kSylkumKey;
using testing::kTemp;
using testing::kUpdatedHeading;

constexpr std::uint64_t kGiB = 1024ull * 1024 * 1024;
// Far more than any reading of one field needs (the reader's limit is
// 32 KiB) and than the large whole list below, far less than the huge files.
constexpr std::uint64_t kReadBudget = 16 * 1024 * 1024;

// A file of `size` bytes: `head`, then `fill` repeated, then `tail`. Its
// bytes are made as they are read. After kReadBudget bytes it reports a read
// failure, so that a reader that goes through the whole file is caught at
// once rather than after gigabytes.
class GeneratedFile final : public InputFile {
 public:
  struct Shape {
    std::string head;
    char fill;
    std::uint64_t size;
    std::string tail;
  };
  // What the reading did; shared with the test, which outlives the file.
  struct Tally {
    std::uint64_t bytesRead = 0;
    bool overBudget = false;
  };

  GeneratedFile(const Shape& shape, Tally* tally) : shape_(shape), tally_(tally) {}

  std::ptrdiff_t Read(char* buffer, std::size_t size) override {
    if (tally_->bytesRead >= kReadBudget) {
      tally_->overBudget = true;
      return -1;
    }
    const std::uint64_t left = shape_.size - tally_->bytesRead;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, left));
    for (std::size_t i = 0; i < n; ++i) buffer[i] = At(tally_->bytesRead + i);
    tally_->bytesRead += n;
    return static_cast<std::ptrdiff_t>(n);
  }

 private:
  char At(std::uint64_t pos) const {
    if (pos < shape_.head.size()) return shape_.head[pos];
    const std::uint64_t tailStart = shape_.size - shape_.tail.size();
    if (pos >= tailStart) return shape_.tail[pos - tailStart];
    return shape_.fill;
  }

  Shape shape_;
  Tally* tally_;
};

// The standard scene (an installed Sylkum 5.2 in C:\Prog\Sylkum), with a
// manifest that is generated at each opening; the tally of each opening is
// kept in order, so the first pass and the second can be told apart.
class GeneratedManifestPlatform final : public testing::FakePlatform {
 public:
  explicit GeneratedManifestPlatform(const GeneratedFile::Shape& shape) : shape_(shape) {
    SetEnv(L"TEMP", kTemp);
    SetString(kSylkumKey, "Version", "5.2");
    SetString(kSylkumKey, "MDE", "C:\\Prog\\Sylkum");
    AddFolder(kInstall);
    AddFile(ManifestPath(), "");  // found by the presence test; read from shape_
  }

  static std::wstring ManifestPath() { return std::wstring(kTemp) + L"\\OrvakBK.ini"; }

  std::unique_ptr<InputFile> OpenFile(const std::wstring& path) override {
    if (CompareFolded(path, ManifestPath()) != 0) return FakePlatform::OpenFile(path);
    tallies.push_back(std::make_unique<GeneratedFile::Tally>());
    return std::make_unique<GeneratedFile>(shape_, tallies.back().get());
  }

  bool Run() {
    return testing::EndsProgram(*this, [this] {
      RunUpdate(*this, BuildConstants{L"OrvakBK", L"Verazuzoduvuzo", {}});
    });
  }

  std::vector<std::unique_ptr<GeneratedFile::Tally>> tallies;

 private:
  GeneratedFile::Shape shape_;
};

struct HugeCase {
  const char* what;
  GeneratedFile::Shape shape;
  bool versionFirst;  // the version stands at the start
};

// A manifest of gigabytes, or one endless line, is read only as far as the
// run needs: the first pass stops after the version, and a field that grows
// past the reader's limit ends the reading. Such a list never reaches
// "slut", so the run ends silently.
TEST(HostileInputTest, HugeManifestsAreReadOnlyAsFarAsNeeded) {
  const HugeCase cases[] = {
      {"4 GiB of NULs after the version line", {"5.3\r\n", '\0', 4 * kGiB, ""}, true},
      {"4 GiB with the version line last", {"", '\0', 4 * kGiB, "\r\n5.3\r\n"}, false},
      {"100 MB endless line, no line end", {"", 'x', 100'000'000, ""}, false},
      {"100 MB endless line after the version", {"5.3\r\n", 'x', 100'000'000, ""}, true},
      {"endless quoted field", {"\"", 'x', 4 * kGiB, "\"\r\n"}, false},
      {"endless quoted field after the version", {"5.3\r\n\"", 'x', 4 * kGiB, ""}, true},
      {"version glued to 4 GiB with no separator", {"5.3", 'x', 4 * kGiB, ""}, false},
      {"4 GiB endless destination", {"5.3\r\na.dll,", 'x', 4 * kGiB, ",slut\r\n"}, true},
  };
  for (const HugeCase& c : cases) {
    SCOPED_TRACE(c.what);
    GeneratedManifestPlatform platform(c.shape);
    ASSERT_TRUE(platform.Run());
    ASSERT_FALSE(platform.tallies.empty());
    for (const auto& tally : platform.tallies) {
      EXPECT_FALSE(tally->overBudget);
      EXPECT_LE(tally->bytesRead, ManifestReader::kMaxFieldBytes + 2 * 4096);
    }
    // The first pass wants the version only: one buffer when it is short.
    if (c.versionFirst) {
      EXPECT_LE(platform.tallies.front()->bytesRead, 4096u);
    }
    EXPECT_TRUE(platform.boxes.empty());  // silent end
    EXPECT_TRUE(platform.copies.empty());
  }
}

// A manifest too large to hold is never offered, however whole its list:
// it would have to be read a second time, and could change in between. It
// is read no further than the limit.
TEST(HostileInputTest, AManifestTooLargeToHoldIsNotOffered) {
  // An even count of empty lines: empty pairs, so that "slut" stands where
  // a source does.
  const std::uint64_t size = 5 + 3 * kMaxManifestBytes + 6;
  GeneratedManifestPlatform platform({"5.3\r\n", '\n', size, "slut\r\n"});
  ASSERT_TRUE(platform.Run());
  EXPECT_TRUE(platform.boxes.empty());
  // The version, then the list up to the limit.
  ASSERT_EQ(platform.tallies.size(), 2u);
  EXPECT_LE(platform.tallies[1]->bytesRead, kMaxManifestBytes + 4096);
}

// A manifest still being written can be read at any moment: cut at every
// byte, it is applied only once its "slut" is whole, and never in part; no
// file outside its list is ever made (a cut name would make one). A
// declaration after "slut" counts from its first byte as what it could
// become: a checksum file is then asked for, and an update that may be
// whole lands whole (here making the folder it needs) or not at all.
TEST(HostileInputTest, AManifestCutAtAnyByteIsNeverApplied) {
  for (const char* declaration : {"OrvakBK.sha256", "helt-eller-slet-ikke"}) {
    const bool whole = declaration[0] == 'h';
    const std::string manifest =
        "5.3\r\nsylkum.mde,Sylkum.mde\r\n\"h,j.chm\",\"Hj\xE6lp\\H,j.chm\"\r\nny.dll,ny.dll\r\n"
        "slut\r\n" +
        std::string(declaration) + "\r\n";
    const std::size_t terminated = manifest.find("slut") + 4;
    for (std::size_t cut = 0; cut <= manifest.size(); ++cut) {
      const std::string when = std::string(declaration) + " cut at " + std::to_string(cut);
      testing::Scenario s;
      s.platform.AddFile(std::wstring(kInstall) + L"Sylkum.mde", "old mde");
      if (!whole) s.platform.AddFolder(std::wstring(kInstall) + L"Hj\u00E6lp");
      s.Manifest(manifest.substr(0, cut));
      s.Payload(L"sylkum.mde", "new mde");
      s.Payload(L"h,j.chm", "new chm");
      s.Payload(L"ny.dll", "new dll");
      const auto before = s.platform.files();
      ASSERT_TRUE(s.Run());
      std::map<std::wstring, std::string> changed;
      for (const auto& [path, file] : s.platform.files()) {
        const auto was = before.find(path);
        if (was == before.end() || was->second.content != file.content) {
          changed[path] = file.content;
        }
      }
      const std::map<std::wstring, std::string> none,
          all = {{std::wstring(kInstall) + L"Sylkum.mde", "new mde"},
                 {std::wstring(kInstall) + L"Hj\u00E6lp\\H,j.chm", "new chm"},
                 {std::wstring(kInstall) + L"ny.dll", "new dll"}},
          withoutFolder = {{std::wstring(kInstall) + L"Sylkum.mde", "new mde"},
                           {std::wstring(kInstall) + L"ny.dll", "new dll"}};
      const bool declares = cut > terminated + 2;
      if (cut < terminated) {
        EXPECT_TRUE(s.platform.boxes.empty()) << when;
        EXPECT_TRUE(changed.empty()) << when << ": " << changed.begin()->first;
      } else if (!whole) {
        // Whole up to "slut"; the checksum file asked for is not there.
        EXPECT_EQ(changed, declares ? none : all) << when;
      } else {
        // Applied file by file, the entry in the missing folder fails.
        EXPECT_EQ(changed, declares ? all : withoutFolder) << when;
      }
    }
  }
}

// Bytes the reader skips without keeping (blanks before a field, anything
// after a closing quote) are still bytes of one field: a file made of them
// must not be read whole either.
TEST(HostileInputTest, SkippedBytesAreBoundedLikeFieldBytes) {
  const struct {
    const char* what;
    GeneratedFile::Shape shape;
  } cases[] = {
      {"4 GiB of blanks before the version", {"", ' ', 4 * kGiB, "5.3\r\n"}},
      {"4 GiB of tabs before the version", {"", '\t', 4 * kGiB, "5.3\r\n"}},
      {"4 GiB after the version's closing quote", {"\"5.3\"", 'x', 4 * kGiB, "\r\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    GeneratedManifestPlatform platform(c.shape);
    ASSERT_TRUE(platform.Run());
    ASSERT_FALSE(platform.tallies.empty());
    EXPECT_FALSE(platform.tallies.front()->overBudget)
        << "the first pass read " << platform.tallies.front()->bytesRead;
  }
}

std::wstring Installed(const std::wstring& name) { return std::wstring(kInstall) + name; }

struct OddBytesCase {
  const char* what;
  std::string manifest;
  std::vector<std::pair<std::wstring, std::string>> payloads;
  bool asks;
  std::wstring summary;  // after the heading
  std::vector<std::wstring> copies;
};

// NUL bytes and the five bytes Windows-1252 leaves undefined (0x81 0x8D 0x8F
// 0x90 0x9D) go through the reader as characters of their own: NUL never
// reaches a copy, the undefined bytes name files like any other letter.
TEST(HostileInputTest, NulAndUndefinedBytesHaveOneOutcome) {
  using namespace std::string_literals;
  const std::wstring kUndefined = L"\u0081\u008D\u008F\u0090\u009D";
  const OddBytesCase cases[] = {
      {"NUL in the version sorts first",
       "\0"
       "9\r\nslut\r\n"s,
       {},
       false,
       L"",
       {}},
      {"NUL after the version", "5.3\0\r\nslut\r\n"s, {}, true, L"", {}},
      {"NUL in a source never matches a file",
       "5.3\r\na.txt\0.exe,a.txt\r\nslut\r\n"s,
       {{L"a.txt", "a"}},
       true,
       L"",
       {}},
      {"NUL in a destination is an invalid name, shown as \"?\" (a NUL would cut the box's text)",
       "5.3\r\na.txt,Sylkum.exe\0.txt\r\nslut\r\n"s,
       {{L"a.txt", "a"}},
       true,
       std::wstring(L"\r\nF\u00F8lgende filer kunne ikke opdateres:\r\n") +
           L"C:\\Prog\\Sylkum\\Sylkum.exe?.txt (ugyldigt filnavn)\r\n",
       {}},
      {"undefined bytes name a source and a destination",
       "5.3\r\n\x81\x8D.txt,\x8F\x90\x9D.dll\r\nslut\r\n",
       {{L"\u0081\u008D.txt", "odd"}},
       true,
       L"C:\\Prog\\Sylkum\\\u008F\u0090\u009D.dll\r\n",
       {Installed(L"\u008F\u0090\u009D.dll")}},
      {"undefined bytes in the version compare as characters",
       "5.2\x81\r\nslut\r\n",
       {},
       true,
       L"",
       {}},
      {"a source of undefined bytes only",
       "5.3\r\n\x81\x8D\x8F\x90\x9D,x.dll\r\nslut\r\n",
       {{kUndefined, "all five"}},
       true,
       L"C:\\Prog\\Sylkum\\x.dll\r\n",
       {Installed(L"x.dll")}},
  };
  for (const OddBytesCase& c : cases) {
    SCOPED_TRACE(c.what);
    testing::Scenario s;
    s.Manifest(c.manifest);
    for (const auto& [name, content] : c.payloads) s.Payload(name, content);
    ASSERT_TRUE(s.Run());
    if (!c.asks) {
      EXPECT_TRUE(s.platform.boxes.empty());
      continue;
    }
    ASSERT_EQ(s.platform.boxes.size(), 3u);
    EXPECT_EQ(s.platform.boxes.back().prompt, kUpdatedHeading + c.summary);
    EXPECT_EQ(s.platform.copies, c.copies);
    for (const std::wstring& copy : c.copies) {
      EXPECT_EQ(s.platform.Content(copy), c.payloads.front().second);
    }
  }
}

// Windows takes the Latin-1 superscript digits (bytes 0xB9 0xB2 0xB3 of
// Windows-1252) as digits of the COM and LPT device names: "COM\xB9.txt"
// opens the serial port COM1 whatever its extension. Such a destination is
// refused like "COM1.txt", never copied to.
TEST(HostileInputTest, DeviceNamesWithSuperscriptDigitsAreRefused) {
  const struct {
    const char* what;  // in UTF-8, for the trace
    const char* destination;
  } cases[] = {
      {"COM1.txt", "COM1.txt"},
      {"COM\u00B9.txt", "COM\xB9.txt"},
      {"com\u00B2", "com\xB2"},
      {"LPT\u00B3.log", "LPT\xB3.log"},
      {"Data\\lpt\u00B9.dat", "Data\\lpt\xB9.dat"},
      {"COM\u00B3 .txt", "COM\xB3 .txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::Scenario s;
    s.Manifest(std::string("5.3\r\na.txt,") + c.destination + "\r\nslut\r\n");
    s.Payload(L"a.txt", "a");
    ASSERT_TRUE(s.Run());
    ASSERT_EQ(s.platform.boxes.size(), 3u);
    EXPECT_TRUE(s.platform.copies.empty());
    EXPECT_NE(s.platform.boxes.back().prompt.find(L"(ugyldigt filnavn)"), std::wstring::npos);
  }
}

}  // namespace
}  // namespace updater
