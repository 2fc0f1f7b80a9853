// Fuzzes ParseRegFile with the input as the bytes of a .reg export.
//
// Of a file that parses we check that:
// - every key is found by FindKey under its own path, also upper-cased;
// - no key path has an empty component (leading, doubled or trailing "\");
// - writing the result back as a .reg file and parsing that gives the same
//   keys, names and bytes;
// - the same text in another encoding (UTF-8 with or without its mark,
//   UTF-16LE with its mark) parses to the same result.
// Parsing twice must give the same answer.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_check.h"
#include "platform/reg_file.h"
#include "platform/text.h"

namespace updater {
namespace {

bool SameValues(const RegFileKey& a, const RegFileKey& b) {
  if (a.values.size() != b.values.size()) return false;
  for (auto x = a.values.begin(), y = b.values.begin(); x != a.values.end(); ++x, ++y) {
    if (x->first != y->first || x->second.type != y->second.type ||
        x->second.data != y->second.data) {
      return false;
    }
  }
  return true;
}

bool Same(const std::optional<RegFile>& a, const std::optional<RegFile>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  if (a->keys.size() != b->keys.size()) return false;
  for (auto x = a->keys.begin(), y = b->keys.begin(); x != a->keys.end(); ++x, ++y) {
    if (x->first != y->first || !SameValues(x->second, y->second)) return false;
  }
  return true;
}

std::string Utf16LeWithMark(const std::wstring& text) {
  std::string bytes = "\xFF\xFE";
  auto put = [&bytes](std::uint32_t unit) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  };
  for (wchar_t c : text) {
    const auto cp = static_cast<std::uint32_t>(c);
    if (cp > 0xFFFF) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
  }
  return bytes;
}

std::wstring Quoted(const std::wstring& text) {
  std::wstring quoted = L"\"";
  for (wchar_t c : text) {
    if (c == L'\\' || c == L'"') quoted.push_back(L'\\');
    quoted.push_back(c);
  }
  return quoted + L"\"";
}

// The registry as a version 5 export, every value written as hex(type):
// so that its bytes go through unchanged.
std::wstring Export(const RegFile& file) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text = L"Windows Registry Editor Version 5.00\r\n";
  for (const auto& [path, key] : file.keys) {
    text += L"\r\n[HKEY_CURRENT_USER";
    if (!path.empty()) text += L"\\" + path;
    text += L"]\r\n";
    for (const auto& [name, value] : key.values) {
      text += name.empty() ? L"@" : Quoted(name);
      text += L"=hex(";
      for (int shift = 28; shift >= 0; shift -= 4)
        text.push_back(kDigits[(value.type >> shift) & 15]);
      text += L"):";
      for (std::size_t i = 0; i < value.data.size(); ++i) {
        if (i > 0) text += i % 16 == 0 ? L",\\\r\n  " : L",";
        text.push_back(kDigits[value.data[i] >> 4]);
        text.push_back(kDigits[value.data[i] & 15]);
      }
      text += L"\r\n";
    }
  }
  return text;
}

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = FoldCase(c);
  return text;
}

bool StartsWith(const std::string& bytes, const char* prefix) {
  return bytes.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool IsAscii(const std::string& bytes) {
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace
}  // namespace updater

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace updater;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::optional<RegFile> file = ParseRegFile(bytes);
  FUZZ_CHECK(Same(file, ParseRegFile(bytes)), "two parses of the same bytes differ");

  // A file without a byte-order mark is read as UTF-8 unless it is a
  // REGEDIT4 file; pure ASCII reads the same in every encoding.
  const bool marked = StartsWith(bytes, "\xFF\xFE") || StartsWith(bytes, "\xEF\xBB\xBF");
  if (!marked && (IsAscii(bytes) || (EncodeUtf8(DecodeUtf8(bytes)) == bytes &&
                                     bytes.find("REGEDIT4") == std::string::npos))) {
    const std::wstring text = DecodeUtf8(bytes);
    FUZZ_CHECK(Same(file, ParseRegFile(Utf16LeWithMark(text))), "UTF-16LE reads differently");
    FUZZ_CHECK(Same(file, ParseRegFile("\xEF\xBB\xBF" + bytes)), "UTF-8 with mark differs");
  }

  if (!file) return 0;
  for (const auto& [path, key] : file->keys) {
    FUZZ_CHECK(file->FindKey(path) == &key, "a key is not found under its own path");
    FUZZ_CHECK(file->FindKey(Upper(path)) == &key, "a key is not found upper-cased");
    FUZZ_CHECK(path.empty() || (path.front() != L'\\' && path.back() != L'\\' &&
                                path.find(L"\\\\") == std::wstring::npos),
               "a key path with an empty component");
  }
  const std::optional<RegFile> again = ParseRegFile(Utf16LeWithMark(Export(*file)));
  FUZZ_CHECK(again.has_value(), "the export of a parsed file does not parse");
  FUZZ_CHECK(Same(file, again), "the export of a parsed file reads differently");
  return 0;
}
