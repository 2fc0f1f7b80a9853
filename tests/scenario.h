// A standard scene for runs of the whole updater on the fake platform: an
// installed Sylkum in C:\Prog\Sylkum at version 5.2, and a temporary folder
// under a user name with a Danish letter.
#pragma once

#include <string>
#include <vector>

#include "fake_platform.h"
#include "update/update.h"

namespace updater::testing {

inline const char kSylkumKey[] = "Software\\Zorbe IT Service\\Sylkum";
inline const wchar_t kTemp[] = L"C:\\Users\\\u00C5se\\AppData\\Local\\Temp";
inline const wchar_t kInstall[] = L"C:\\Prog\\Sylkum\\";
inline const wchar_t kTitle[] = L"Zorbe IT - OrvakBK";

// The exact texts of the boxes of this build.
inline const wchar_t kPrompt[] =
    L"Der er en ny version af Verazuzoduvuzo\r\n\r\n\u00D8nsker du at opdatere nu ?";
inline const wchar_t kCloseNotice[] =
    L"Venligst afslut Verazuzoduvuzo\r\n\r\nHusk at tage backup !\r\n\r\n"
    L"Tryk p\u00E5 Ok n\u00E5r Verazuzoduvuzo er lukket.";
inline const wchar_t kNotClosed[] =
    L"Programmet Verazuzoduvuzo er ikke lukket rigtigt og kan derfor ikke opdateres.";
inline const wchar_t kUpdatedHeading[] = L"F\u00F8lgende filer er opdateret:\r\n";
inline const wchar_t kFailedHeading[] = L"F\u00F8lgende filer kunne ikke opdateres:\r\n";
inline const wchar_t kListCut[] = L"Listen over filer kunne ikke l\u00E6ses til ende.";

class Scenario {
 public:
  Scenario() {
    platform.SetEnv(L"TEMP", kTemp);
    platform.AddFolder(kTemp);
    platform.SetString(kSylkumKey, "Version", "5.2");
    platform.SetString(kSylkumKey, "MDE", "C:\\Prog\\Sylkum");
    platform.AddFolder(kInstall);
  }

  void Manifest(const std::string& content) { platform.AddFile(TempFile(L"OrvakBK.ini"), content); }
  void Payload(const std::wstring& name, const std::string& content) {
    platform.AddFile(TempFile(name), content);
  }
  static std::wstring TempFile(const std::wstring& name) {
    return std::wstring(kTemp) + L"\\" + name;
  }

  // Runs the updater; true when it ended through EndProgram.
  bool Run() {
    return EndsProgram(platform, [this] {
      RunUpdate(platform, BuildConstants{L"OrvakBK", L"Verazuzoduvuzo", keys});
    });
  }

  FakePlatform platform;
  std::vector<PublicKey> keys;  // a signed build's
};

}  // namespace updater::testing
