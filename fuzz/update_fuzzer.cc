// Fuzzes a whole update on the in-memory platform with the input as the
// manifest: an installed product at version 5.2, a few payload files beside
// the manifest, files elsewhere on the disk, and every box answered Yes or OK.
//
// Whatever the manifest says, the run must end through EndProgram, show at
// most its three boxes, leave every file outside the install folder as it
// was, list each copy it made in its summary, and install nothing from a
// list that never reached "slut" (the manifest is also tried cut short). The fake does not resolve
// ".." or devices as Windows would, so each copy's destination is also
// checked to be a plain file inside the install folder the way Windows reads
// a path.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "fuzz_check.h"
#include "platform/text.h"
#include "update/update.h"

namespace updater {
namespace {

constexpr char kProductKey[] = "Software\\Zorbe IT Service\\Sylkum";
constexpr wchar_t kTemp[] = L"C:\\Users\\Bo\\AppData\\Local\\Temp";
constexpr wchar_t kInstall[] = L"C:\\Prog\\Sylkum\\";

bool StartsWithFolded(const std::wstring& text, const std::wstring& prefix) {
  return text.size() >= prefix.size() && CompareFolded(text.substr(0, prefix.size()), prefix) == 0;
}

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = FoldCase(c);
  return text;
}

// Windows opens a device, not a file, for these names with any extension,
// and takes the Latin-1 superscript digits as digits of COM and LPT.
bool IsWindowsDevice(const std::wstring& component) {
  std::wstring base = Upper(component.substr(0, component.find(L'.')));
  while (!base.empty() && (base.back() == L' ' || base.back() == L'.')) base.pop_back();
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
    if (base == device) return true;
  }
  if (base.size() != 4 || (base.compare(0, 3, L"COM") != 0 && base.compare(0, 3, L"LPT") != 0)) {
    return false;
  }
  const wchar_t digit = base[3];
  return (digit >= L'1' && digit <= L'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

// Whether `name`, below the install folder, names a plain file inside it
// on Windows: no empty component (a rooted path or a doubled separator), no
// component of dots and spaces only (Windows drops trailing dots and
// spaces, so those climb or stay), no drive or stream (":"), no character
// Windows refuses in a name, no device.
bool IsPlainFileInside(const std::wstring& name) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(name.find_first_of(L"\\/", start), name.size());
    const std::wstring component = name.substr(start, end - start);
    if (component.find_first_not_of(L". ") == std::wstring::npos) return false;
    for (wchar_t c : component) {
      if (c < 32 || std::wstring(L"<>:\"|?*").find(c) != std::wstring::npos) return false;
    }
    if (IsWindowsDevice(component)) return false;
    if (end == name.size()) return true;
    start = end + 1;
  }
}

std::wstring TempFile(const wchar_t* name) { return std::wstring(kTemp) + L"\\" + name; }

// The summary with each entry that was broken over lines joined again.
std::wstring Unwrapped(std::wstring text) {
  for (std::size_t at; (at = text.find(L"\r\n    ")) != std::wstring::npos;) text.erase(at, 6);
  return text;
}

// How many updated files the summary counts instead of naming them.
std::size_t CountedUpdates(const std::wstring& text) {
  const std::size_t end = text.find(L" er opdateret.\r\n");
  if (end == std::wstring::npos) return 0;
  std::size_t start = text.rfind(L"\r\n", end);
  start = start == std::wstring::npos ? 0 : start + 2;
  const std::wstring line = text.substr(start, end - start);
  const std::size_t digits = line.find_first_of(L"0123456789");
  return digits == std::wstring::npos ? 0 : std::wcstoul(line.c_str() + digits, nullptr, 10);
}

// The summary fits the screen: at most kSummaryMaxLines lines (a line past
// kSummaryWrapColumns counts twice), none past kSummaryMaxColumns.
bool Fits(const std::wstring& text) {
  std::size_t cost = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    const std::size_t length = end - start;
    if (length > kSummaryMaxColumns) return false;
    cost += length > kSummaryWrapColumns ? 2 : 1;
    start = end + 2;
  }
  return cost <= kSummaryMaxLines;
}

// One whole run on `manifest`. With `checksums`, a checksum file vouches for
// the manifest and every payload file except a.txt, whose line does not
// match: then a.txt's bytes must never reach the install folder.
void RunOnce(const std::string& manifest, bool checksums) {
  testing::FakePlatform platform;
  platform.SetEnv(L"TEMP", kTemp);
  platform.SetString(kProductKey, "Version", "5.2");
  platform.SetString(kProductKey, "MDE", "C:\\Prog\\Sylkum");
  platform.AddFolder(kInstall);
  platform.AddFolder(std::wstring(kInstall) + L"Data");
  platform.AddFile(TempFile(L"OrvakBK.ini"), manifest);
  if (checksums) {
    std::string lines = DigestHex(testing::DigestOf(manifest)) + "  OrvakBK.ini\n";
    lines += DigestHex(testing::DigestOf("new program")) + "  Sylkum.exe\n";
    lines += DigestHex(testing::DigestOf("apple")) +
             "  \xC3\x86"
             "ble.dll\n";
    lines += DigestHex(testing::DigestOf("not a")) + "  a.txt\n";
    platform.AddFile(TempFile(L"OrvakBK.sha256"), lines);
  }
  platform.AddFile(TempFile(L"Sylkum.exe"), "new program");
  platform.AddFile(TempFile(L"a.txt"), "a");
  platform.AddFile(TempFile(L"\u00C6ble.dll"), "apple");
  platform.AddFile(TempFile(L"hidden.txt"), "hidden", true);
  platform.AddFile(std::wstring(kInstall) + L"Sylkum.exe", "old program");
  platform.AddFile(L"C:\\Prog\\Other\\keep.txt", "other");
  platform.AddFile(L"C:\\Windows\\win.ini", "windows");
  platform.AddFile(L"C:\\Users\\Bo\\AppData\\Local\\keep.txt", "user");
  const auto before = platform.files();

  const bool ended = testing::EndsProgram(platform, [&platform] {
    RunUpdate(platform, BuildConstants{L"OrvakBK", L"Sylkum", {}});
  });
  FUZZ_CHECK(ended, "the run did not end through EndProgram");
  FUZZ_CHECK(platform.boxes.size() <= 3, "more than three boxes");
  // A list is applied only once its "slut" has been read: a manifest
  // without one anywhere (one still being written, say) installs nothing.
  std::string folded = manifest;
  for (char& c : folded) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  if (folded.find("slut") == std::string::npos) {
    FUZZ_CHECK(platform.copies.empty(), "a copy from a list that never reached \"slut\"");
  }
  if (platform.boxes.empty()) FUZZ_CHECK(platform.copies.empty(), "a copy without asking");

  for (const std::wstring& destination : platform.copies) {
    FUZZ_CHECK(StartsWithFolded(destination, kInstall), "a copy outside the install folder");
    FUZZ_CHECK(IsPlainFileInside(destination.substr(std::wcslen(kInstall))),
               "a copy to a name that is no plain file inside the install folder");
  }
  const std::wstring summary =
      platform.boxes.size() == 3 ? Unwrapped(platform.boxes.back().prompt) : std::wstring();
  if (platform.boxes.size() == 3)
    FUZZ_CHECK(Fits(platform.boxes.back().prompt), "a summary too big");
  std::size_t unnamed = 0;
  for (const auto& [path, file] : platform.files()) {
    const auto old = before.find(path);
    if (StartsWithFolded(path, kInstall)) {
      if (old == before.end() || old->second.content != file.content) {
        // A changed file in the install folder is named in the summary, or
        // counted there when the summary had no room for its name.
        if (Upper(summary).find(Upper(path)) == std::wstring::npos) ++unnamed;
      }
      continue;
    }
    FUZZ_CHECK(old != before.end(), "a file created outside the install folder");
    FUZZ_CHECK(old->second.content == file.content, "a file changed outside the install folder");
  }
  FUZZ_CHECK(unnamed <= CountedUpdates(summary), "a copy that the summary does not list");
  FUZZ_CHECK(platform.files().size() >= before.size(), "a file went missing");
  if (checksums) {
    for (const auto& [path, file] : platform.files()) {
      FUZZ_CHECK(!StartsWithFolded(path, kInstall) || file.content != "a",
                 "a payload file that does not match its checksum was installed");
    }
  }
}

}  // namespace
}  // namespace updater

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string manifest(reinterpret_cast<const char*>(data), size);
  updater::RunOnce(manifest, false);
  updater::RunOnce(manifest, true);
  // The same manifest caught while it is being written: cut short at a
  // point the input chooses.
  if (size > 1) updater::RunOnce(manifest.substr(0, 1 + data[0] % (size - 1)), false);
  return 0;
}
