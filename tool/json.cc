// A small JSON writer for the tool's --json output.
#include "json.h"

#include <cstdio>

namespace updater::tool {
namespace {

void AppendEscape(std::string& out, unsigned unit) {
  char code[8];
  std::snprintf(code, sizeof code, "\\u%04x", unit & 0xFFFF);
  out += code;
}

}  // namespace

std::string JsonString(const std::wstring& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = static_cast<std::uint32_t>(text[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      default: break;
    }
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else if (c > 0x10FFFF) {
      AppendEscape(out, 0xFFFD);  // no character: shown as the replacement
    } else if (c > 0xFFFF) {
      // A 32-bit wchar_t holds it whole; JSON wants a surrogate pair.
      c -= 0x10000;
      AppendEscape(out, 0xD800 + (c >> 10));
      AppendEscape(out, 0xDC00 + (c & 0x3FF));
    } else {
      // A 16-bit wchar_t's surrogate pairs pass unit by unit, as they stand.
      AppendEscape(out, c);
    }
  }
  return out + "\"";
}

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!firstInContainer_.empty()) {
    if (!firstInContainer_.back()) out_ += ",";
    firstInContainer_.back() = false;
  }
}

void JsonWriter::Open(char bracket) {
  BeforeValue();
  out_.push_back(bracket);
  firstInContainer_.push_back(true);
}

void JsonWriter::Close(char bracket) {
  out_.push_back(bracket);
  if (!firstInContainer_.empty()) firstInContainer_.pop_back();
}

void JsonWriter::Key(const char* name) {
  BeforeValue();
  out_ += JsonString(std::wstring(name, name + std::char_traits<char>::length(name))) + ":";
  afterKey_ = true;
}

void JsonWriter::String(const std::wstring& value) {
  BeforeValue();
  out_ += JsonString(value);
}

void JsonWriter::Number(std::int64_t value) {
  BeforeValue();
  out_ += std::to_string(value);
}

void JsonWriter::Bool(bool value) {
  BeforeValue();
  out_ += value ? "true" : "false";
}

void JsonWriter::Null() {
  BeforeValue();
  out_ += "null";
}

void JsonWriter::Member(const char* name, const std::vector<std::wstring>& values) {
  Key(name);
  BeginArray();
  for (const std::wstring& value : values) String(value);
  EndArray();
}

std::wstring JsonWriter::Text() const { return std::wstring(out_.begin(), out_.end()) + L"\n"; }

}  // namespace updater::tool
