// Text conversions and case folding that do not depend on the system, used
// by the POSIX realisation, the .reg reader and the test fake.
#pragma once

#include <string>

namespace updater {

// Windows-1252 (the ANSI code page of Danish Windows) to text. The five
// bytes 1252 leaves undefined become the control character of that number,
// as Windows itself converts them.
std::wstring DecodeWindows1252(const std::string& bytes);

// Text to Windows-1252; characters it cannot hold become "?".
std::string EncodeWindows1252(const std::wstring& text);

// UTF-8 to text; a malformed sequence gives U+FFFD per bad byte.
std::wstring DecodeUtf8(const std::string& bytes);

// Text to UTF-8.
std::string EncodeUtf8(const std::wstring& text);

// Upper-case form of one character: ASCII, Latin-1 (æ ø å to Æ Ø Å among
// them) and the letters Windows-1252 adds (š œ ž ÿ).
wchar_t FoldCase(wchar_t c);

// Compares the case-folded forms character by character: negative, 0 or
// positive.
int CompareFolded(const std::wstring& a, const std::wstring& b);

// Windows' file-name matching: "*" any run of characters, "?" any one,
// letters compared without regard to case; "*.*" matches every name. Takes
// time in proportion to the lengths, however many stars the pattern has.
bool WildcardMatch(const std::wstring& pattern, const std::wstring& name);

}  // namespace updater
