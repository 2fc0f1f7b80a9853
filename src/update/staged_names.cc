// The names of the files the copies keep beside a destination.
#include "update/staged_names.h"

#include <cwchar>

#include "platform/text.h"

namespace updater {
namespace {

// Both endings have the same length, so one stem rule serves both.
const wchar_t kEnding[] = L".updater-tmp";
const wchar_t kAsideEnding[] = L".updater-old";
constexpr std::size_t kEndingLength = sizeof kEnding / sizeof kEnding[0] - 1;
static_assert(sizeof kAsideEnding == sizeof kEnding);
constexpr std::size_t kTokenDigits = 8;
// Longest name of one path component on the file systems we write to.
constexpr std::size_t kLongestName = 255;

std::wstring Hex(std::uint64_t value, std::size_t digits) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text(digits, L'0');
  for (std::size_t i = digits; i-- > 0; value >>= 4) text[i] = kDigits[value & 15];
  return text;
}

bool IsHex(const std::wstring& text) {
  for (wchar_t c : text) {
    if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
  }
  return true;
}

// The stem that stands for `name` when the name itself is too long: drawn
// from its upper-case form, so that every spelling of the name gives it.
std::wstring LongNameStem(const std::wstring& name) {
  std::uint64_t hash = 14695981039346656037ull;
  for (wchar_t c : name) {
    hash = (hash ^ static_cast<std::uint64_t>(FoldCase(c))) * 1099511628211ull;
  }
  return L"~" + Hex(hash, 16);
}

std::wstring Stem(const std::wstring& name) {
  return name.size() + 1 + kTokenDigits + kEndingLength <= kLongestName ? name : LongNameStem(name);
}

bool EndsWith(const std::wstring& text, const wchar_t* ending) {
  return text.size() > kEndingLength &&
         text.compare(text.size() - kEndingLength, kEndingLength, ending) == 0;
}

// True when `candidate` is `name`'s stem, a dot, a token and any ending.
bool HasStemOf(const std::wstring& candidate, const std::wstring& name) {
  const std::wstring stem = Stem(name);
  const std::size_t length = stem.size() + 1 + kTokenDigits + kEndingLength;
  return candidate.size() == length && CompareFolded(candidate.substr(0, stem.size()), stem) == 0 &&
         candidate[stem.size()] == L'.' && IsHex(candidate.substr(stem.size() + 1, kTokenDigits));
}

}  // namespace

std::wstring StagedName(const std::wstring& name, std::uint32_t token) {
  return Stem(name) + L"." + Hex(token, kTokenDigits) + kEnding;
}

std::wstring AsideName(const std::wstring& name, std::uint32_t token) {
  return Stem(name) + L"." + Hex(token, kTokenDigits) + kAsideEnding;
}

std::wstring LeftoverPattern(const std::wstring& name) { return Stem(name) + L".*.updater-*"; }

bool IsStagedNameOf(const std::wstring& candidate, const std::wstring& name) {
  return LooksStaged(candidate) && HasStemOf(candidate, name);
}

bool IsAsideNameOf(const std::wstring& candidate, const std::wstring& name) {
  return EndsWith(candidate, kAsideEnding) && HasStemOf(candidate, name);
}

bool IsLeftoverOf(const std::wstring& candidate, const std::wstring& name) {
  return LooksLeftover(candidate) && HasStemOf(candidate, name);
}

bool LooksStaged(const std::wstring& candidate) { return EndsWith(candidate, kEnding); }

bool LooksLeftover(const std::wstring& candidate) {
  return EndsWith(candidate, kEnding) || EndsWith(candidate, kAsideEnding);
}

}  // namespace updater
