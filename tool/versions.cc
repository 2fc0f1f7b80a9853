// The version test told for people, and what the numbers say.
#include "versions.h"

#include <vector>

namespace updater::tool {
namespace {

// A version made of numbers alone, as the numbers order it: a whole number,
// after the first "." or "," a decimal fraction (5.19 before 5.2, 5.20 the
// same as 5.2), and after each further "." a number of its own (5.3.2
// after 5.3.1). Text of any other kind ("7 beta") says nothing of its order.
struct NumericVersion {
  std::wstring whole;
  std::wstring fraction;
  std::vector<std::wstring> parts;
};

bool IsDigitChar(wchar_t c) { return c >= L'0' && c <= L'9'; }

std::wstring WithoutLeadingZeros(std::wstring digits) {
  digits.erase(0, digits.find_first_not_of(L'0'));
  return digits;
}

std::optional<NumericVersion> ReadNumeric(const std::wstring& version) {
  const std::size_t first = version.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return std::nullopt;
  const std::wstring text = version.substr(first, version.find_last_not_of(L" \t") - first + 1);
  std::vector<std::wstring> runs(1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (IsDigitChar(c)) {
      runs.back().push_back(c);
    } else if ((c == L'.' || (c == L',' && runs.size() == 1)) && !runs.back().empty()) {
      runs.emplace_back();
    } else {
      return std::nullopt;
    }
  }
  if (runs.back().empty()) return std::nullopt;
  NumericVersion number;
  number.whole = WithoutLeadingZeros(runs[0]);
  if (runs.size() > 1) {
    number.fraction = runs[1];
    while (!number.fraction.empty() && number.fraction.back() == L'0') number.fraction.pop_back();
  }
  for (std::size_t i = 2; i < runs.size(); ++i)
    number.parts.push_back(WithoutLeadingZeros(runs[i]));
  while (!number.parts.empty() && number.parts.back().empty()) number.parts.pop_back();
  return number;
}

int CompareWhole(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

}  // namespace

std::optional<int> NumberOrder(const std::wstring& a, const std::wstring& b) {
  const std::optional<NumericVersion> x = ReadNumeric(a), y = ReadNumeric(b);
  if (!x || !y) return std::nullopt;
  if (const int order = CompareWhole(x->whole, y->whole)) return order;
  if (x->fraction != y->fraction) return x->fraction < y->fraction ? -1 : 1;
  for (std::size_t i = 0; i < x->parts.size() || i < y->parts.size(); ++i) {
    const std::wstring p = i < x->parts.size() ? x->parts[i] : L"";
    const std::wstring q = i < y->parts.size() ? y->parts[i] : L"";
    if (const int order = CompareWhole(p, q)) return order;
  }
  return 0;
}

std::wstring VersionVerdict(const VersionTest& test, const std::wstring& offered,
                            const std::wstring& registryVersion) {
  const std::optional<int> numbers = NumberOrder(offered, registryVersion);
  if (test.sameText) return test.offered + L" is the installed version's own text";
  if (test.rollback) {
    return test.offered + L" sorts after " + test.installed +
           L", but is older by number, and a signed build never offers an older release";
  }
  if (test.newer) {
    std::wstring text = test.offered + L" sorts after " + test.installed;
    if (numbers && *numbers < 0) text += L", though older by number";
    if (numbers && *numbers == 0) text += L", though the same version by number";
    return text;
  }
  if (test.order == 0) return test.offered + L" equals " + test.installed;
  std::wstring text = test.offered + L" sorts before " + test.installed;
  if (numbers && *numbers > 0) text += L": 10 sorts before 9 as text";
  return text;
}

}  // namespace updater::tool
