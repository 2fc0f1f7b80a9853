// Reading a registry export in regedit's .reg format, for the POSIX platform.
#include "platform/reg_file.h"

#include <cstddef>
#include <string_view>
#include <utility>

#include "platform/text.h"

namespace updater {
namespace {

using Text = std::wstring_view;

constexpr std::uint32_t kTypeSz = 1;
constexpr std::uint32_t kTypeExpandSz = 2;
constexpr std::uint32_t kTypeBinary = 3;
constexpr std::uint32_t kTypeDword = 4;
constexpr std::uint32_t kTypeMultiSz = 7;

constexpr Text kHeaderV5 = L"Windows Registry Editor Version 5.00";
constexpr Text kHeaderV4 = L"REGEDIT4";

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r'; }

Text TrimRight(Text s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

Text TrimLeft(Text s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

Text Trim(Text s) { return TrimLeft(TrimRight(s)); }

bool EqualsFolded(Text a, Text b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

bool StartsWithFolded(Text s, Text prefix) {
  return s.size() >= prefix.size() && EqualsFolded(s.substr(0, prefix.size()), prefix);
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// A hex number of 1 to `max_digits` digits and nothing else.
bool ParseHex(Text s, std::size_t max_digits, std::uint32_t* out) {
  if (s.empty() || s.size() > max_digits) return false;
  std::uint32_t value = 0;
  for (wchar_t c : s) {
    const int digit = HexDigit(c);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  *out = value;
  return true;
}

// Text as the registry stores it. Where wchar_t is 32 bits a character above
// U+FFFF becomes a surrogate pair; a lone surrogate read from the file is kept
// as it was, so the value comes out as the file had it.
void AppendUtf16Le(const std::wstring& text, std::vector<unsigned char>* out) {
  out->reserve(out->size() + 2 * text.size() + 2);
  auto put = [out](std::uint32_t unit) {
    out->push_back(static_cast<unsigned char>(unit & 0xFF));
    out->push_back(static_cast<unsigned char>((unit >> 8) & 0xFF));
  };
  for (wchar_t c : text) {
    std::uint32_t cp = static_cast<std::uint32_t>(c);
    if (cp > 0x10FFFF) cp = 0xFFFD;
    if (cp > 0xFFFF) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
}

// Text of a UTF-16LE file; `bytes` starts with the byte-order mark. Regedit
// always writes whole code units, so an odd byte count means a cut-off or
// damaged file, and we read nothing from it rather than guess at its end.
std::optional<std::wstring> DecodeUtf16Le(const std::string& bytes) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  auto unit_at = [&bytes](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8);
  };
  std::wstring text;
  text.reserve(bytes.size() / 2);
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    std::uint32_t unit = unit_at(i);
    // With 16-bit wchar_t a pair stays two units, as on Windows; with 32-bit
    // wchar_t a well-formed pair becomes the one character it stands for.
    if (sizeof(wchar_t) >= 4 && unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
      const std::uint32_t low = unit_at(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    text.push_back(static_cast<wchar_t>(unit));
  }
  return text;
}

// A REGEDIT4 file is in the ANSI code page; we tell it by its first line,
// allowing blank lines before it.
bool StartsWithRegedit4(const std::string& bytes) {
  std::size_t i = 0;
  while (i < bytes.size() &&
         (bytes[i] == ' ' || bytes[i] == '\t' || bytes[i] == '\r' || bytes[i] == '\n')) {
    ++i;
  }
  return bytes.compare(i, 8, "REGEDIT4") == 0;
}

std::optional<std::wstring> DecodeFile(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    return DecodeUtf16Le(bytes);
  }
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return DecodeUtf8(bytes.substr(3));
  if (StartsWithRegedit4(bytes)) return DecodeWindows1252(bytes);
  return DecodeUtf8(bytes);
}

// Reads a quoted name or string starting at the opening quote in `s`; only
// \\ and \" are escapes. On success `rest` is what follows the closing quote.
bool ParseQuoted(Text s, std::wstring* out, Text* rest) {
  if (s.empty() || s.front() != L'"') return false;
  out->clear();
  for (std::size_t i = 1; i < s.size(); ++i) {
    const wchar_t c = s[i];
    if (c == L'"') {
      *rest = s.substr(i + 1);
      return true;
    }
    if (c == L'\\') {
      if (i + 1 >= s.size() || (s[i + 1] != L'\\' && s[i + 1] != L'"')) return false;
      ++i;
    }
    out->push_back(s[i]);
  }
  return false;  // no closing quote
}

// Appends the bytes of a comma-separated list such as "01, ab,ff"; every
// entry is one or two hex digits.
bool ParseByteList(Text s, std::vector<unsigned char>* out) {
  for (;;) {
    const std::size_t comma = s.find(L',');
    std::uint32_t byte = 0;
    if (!ParseHex(Trim(s.substr(0, comma)), 2, &byte)) return false;
    out->push_back(static_cast<unsigned char>(byte));
    if (comma == Text::npos) return true;
    s.remove_prefix(comma + 1);
  }
}

// Walks the text line by line; lines end in LF or CRLF.
class LineReader {
 public:
  explicit LineReader(Text text) : text_(text) {}

  // The next line without its trailing blanks, or false at the end.
  bool Next(Text* line) {
    if (pos_ > text_.size()) return false;
    std::size_t end = text_.find(L'\n', pos_);
    if (end == Text::npos) end = text_.size();
    *line = TrimRight(text_.substr(pos_, end - pos_));
    pos_ = end + 1;
    return true;
  }

 private:
  Text text_;
  std::size_t pos_ = 0;
};

class Parser {
 public:
  explicit Parser(Text text) : lines_(text) {}

  // The header line first, then key, value, comment and blank lines to the end.
  std::optional<RegFile> Run() {
    Text line;
    do {
      if (!lines_.Next(&line)) return std::nullopt;
    } while (line.empty());
    if (line == kHeaderV4) {
      ansi_ = true;
    } else if (line != kHeaderV5) {
      return std::nullopt;
    }
    while (lines_.Next(&line)) {
      line = TrimLeft(line);
      if (line.empty() || line.front() == L';') continue;
      bool good = false;
      if (line.front() == L'[') {
        good = KeyLine(line);
      } else if (line.front() == L'"' || line.front() == L'@') {
        good = in_key_ && ValueLine(line);
      }
      if (!good) return std::nullopt;
    }
    return std::move(file_);
  }

 private:
  enum class Root { kCurrentUser, kOther, kUnknown };

  static Root ClassifyRoot(Text name) {
    if (EqualsFolded(name, L"HKEY_CURRENT_USER") || EqualsFolded(name, L"HKCU")) {
      return Root::kCurrentUser;
    }
    if (EqualsFolded(name, L"HKLM") || EqualsFolded(name, L"HKCR") || EqualsFolded(name, L"HKU") ||
        EqualsFolded(name, L"HKCC") || (name.size() > 5 && StartsWithFolded(name, L"HKEY_"))) {
      return Root::kOther;
    }
    return Root::kUnknown;
  }

  // "[path]" opens the key, creating it; "[-path]" removes it with everything
  // below it. The path is kept without its root and trailing backslash.
  bool KeyLine(Text line) {
    if (line.size() < 2 || line.back() != L']') return false;
    Text inner = line.substr(1, line.size() - 2);
    const bool remove = !inner.empty() && inner.front() == L'-';
    if (remove) inner.remove_prefix(1);
    const std::size_t slash = inner.find(L'\\');
    const Root root = ClassifyRoot(inner.substr(0, slash));
    if (root == Root::kUnknown) return false;
    Text path = slash == Text::npos ? Text() : inner.substr(slash + 1);
    if (!path.empty() && path.back() == L'\\') path.remove_suffix(1);
    // A key name is never empty, so "a\\b" or a leading backslash is damage.
    if (!path.empty() &&
        (path.front() == L'\\' || path.back() == L'\\' || path.find(L"\\\\") != Text::npos)) {
      return false;
    }
    in_key_ = true;
    key_ = nullptr;
    if (root != Root::kCurrentUser) return true;  // read, but not kept
    if (remove) {
      RemoveTree(std::wstring(path));
    } else {
      key_ = &file_.keys[std::wstring(path)];
    }
    return true;
  }

  // The map orders paths by their case-folded characters, so the keys below
  // `path` sit together right after "path\".
  void RemoveTree(const std::wstring& path) {
    auto& keys = file_.keys;
    if (path.empty()) {
      keys.clear();
      return;
    }
    keys.erase(path);
    const std::wstring prefix = path + L'\\';
    auto it = keys.lower_bound(prefix);
    while (it != keys.end() && StartsWithFolded(it->first, prefix)) it = keys.erase(it);
  }

  // "name"=data or @=data, where data is "text", dword:, hex:, hex(n): or -.
  bool ValueLine(Text line) {
    std::wstring name;
    Text rest;
    if (line.front() == L'@') {
      rest = line.substr(1);
    } else if (!ParseQuoted(line, &name, &rest)) {
      return false;
    }
    rest = TrimLeft(rest);
    if (rest.empty() || rest.front() != L'=') return false;
    rest = TrimLeft(rest.substr(1));
    if (rest == L"-") {
      if (key_) key_->values.erase(name);
      return true;
    }
    RegFileValue value;
    if (!Data(rest, &value)) return false;
    if (key_) key_->values[std::move(name)] = std::move(value);
    return true;
  }

  bool Data(Text s, RegFileValue* value) {
    if (!s.empty() && s.front() == L'"') {
      std::wstring text;
      Text rest;
      if (!ParseQuoted(s, &text, &rest) || !rest.empty()) return false;
      value->type = kTypeSz;
      AppendUtf16Le(text, &value->data);
      value->data.push_back(0);
      value->data.push_back(0);
      return true;
    }
    if (StartsWithFolded(s, L"dword:")) {
      std::uint32_t number = 0;
      if (!ParseHex(s.substr(6), 8, &number)) return false;
      value->type = kTypeDword;
      for (int i = 0; i < 4; ++i) {
        value->data.push_back(static_cast<unsigned char>(number >> (8 * i)));
      }
      return true;
    }
    if (!StartsWithFolded(s, L"hex")) return false;
    s.remove_prefix(3);
    value->type = kTypeBinary;
    if (!s.empty() && s.front() == L'(') {
      const std::size_t close = s.find(L')');
      if (close == Text::npos || !ParseHex(s.substr(1, close - 1), 8, &value->type)) return false;
      s.remove_prefix(close + 1);
    }
    if (s.empty() || s.front() != L':') return false;
    if (!HexList(s.substr(1), &value->data)) return false;
    // REGEDIT4 files hold the strings of hex values in the ANSI code page; we
    // keep every string type as UTF-16LE, as Windows 2000 and later store it.
    if (ansi_ &&
        (value->type == kTypeSz || value->type == kTypeExpandSz || value->type == kTypeMultiSz)) {
      const std::wstring text =
          DecodeWindows1252(std::string(value->data.begin(), value->data.end()));
      value->data.clear();
      AppendUtf16Le(text, &value->data);
    }
    return true;
  }

  // The bytes after "hex:", going on to the next line while a line ends in a
  // backslash. Regedit breaks the list after a comma (or right after the
  // colon); a line break anywhere else is damage.
  bool HexList(Text segment, std::vector<unsigned char>* out) {
    bool after_comma = false;
    for (;;) {
      segment = Trim(segment);
      if (segment.empty() || segment.back() != L'\\') break;
      segment = TrimRight(segment.substr(0, segment.size() - 1));
      if (!segment.empty()) {
        if (segment.back() != L',') return false;
        if (!ParseByteList(segment.substr(0, segment.size() - 1), out)) return false;
        after_comma = true;
      }
      if (!lines_.Next(&segment)) return false;  // the file ends mid-value
    }
    if (segment.empty()) return !after_comma;  // "hex:" alone is an empty value
    return ParseByteList(segment, out);
  }

  LineReader lines_;
  RegFile file_;
  bool ansi_ = false;          // REGEDIT4 file
  bool in_key_ = false;        // a key line has been read
  RegFileKey* key_ = nullptr;  // where values go; null when they are not kept
};

}  // namespace

bool RegNameLess::operator()(const std::wstring& a, const std::wstring& b) const {
  return CompareFolded(a, b) < 0;
}

const RegFileKey* RegFile::FindKey(const std::wstring& path) const {
  const auto it = keys.find(path);
  return it == keys.end() ? nullptr : &it->second;
}

std::optional<RegFile> ParseRegFile(const std::string& bytes) {
  const std::optional<std::wstring> text = DecodeFile(bytes);
  if (!text) return std::nullopt;
  return Parser(*text).Run();
}

}  // namespace updater
