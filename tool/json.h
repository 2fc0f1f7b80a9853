// A small JSON writer for the tool's --json output: objects, arrays,
// strings, whole numbers, true, false and null, written as they come.
// Strings are escaped so that the document is ASCII alone: every control
// character and everything beyond ASCII is written as \uXXXX (a surrogate
// pair beyond the Basic Multilingual Plane), so no console code page or
// redirection can alter it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace updater::tool {

class JsonWriter {
 public:
  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }
  // The name of the next member of the object that is open.
  void Key(const char* name);

  void String(const std::wstring& value);
  void Number(std::int64_t value);
  void Bool(bool value);
  void Null();

  // A member at once: Key(name) and its value.
  void Member(const char* name, const std::wstring& value) {
    Key(name);
    String(value);
  }
  void Member(const char* name, const wchar_t* value) { Member(name, std::wstring(value)); }
  void Member(const char* name, bool value) {
    Key(name);
    Bool(value);
  }
  void Member(const char* name, int value) { Count(name, static_cast<std::int64_t>(value)); }
  void Member(const char* name, std::size_t value) {
    Count(name, static_cast<std::int64_t>(value));
  }
  void Member(const char* name, const std::vector<std::wstring>& values);

  // The document written so far, with a line end.
  std::wstring Text() const;

 private:
  void Open(char bracket);
  void Close(char bracket);
  void BeforeValue();
  void Count(const char* name, std::int64_t value) {
    Key(name);
    Number(value);
  }

  std::string out_;
  std::vector<bool> firstInContainer_;
  bool afterKey_ = false;
};

// `text` as a JSON string literal, quotes included (ASCII alone).
std::string JsonString(const std::wstring& text);

}  // namespace updater::tool
