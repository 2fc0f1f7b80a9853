// The installed product found in the registry: its version and folder.
#include "update/registry_lookup.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "update/products.h"

namespace updater {
namespace {

// The updater only reads the key: KEY_READ, so that a key the user may read
// but not change still gives the installed product.
constexpr std::uint32_t kKeyAccessMask = kKeyRead;

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Value of the hexadecimal (&H) or octal (&O) integer after the prefix.
double ReadRadixInteger(const std::wstring& text, std::size_t pos, int radix) {
  double value = 0;
  for (; pos < text.size(); ++pos) {
    const wchar_t c = text[pos];
    int digit;
    if (c >= L'0' && c <= L'9') {
      digit = c - L'0';
    } else if (radix == 16 && c >= L'a' && c <= L'f') {
      digit = c - L'a' + 10;
    } else if (radix == 16 && c >= L'A' && c <= L'F') {
      digit = c - L'A' + 10;
    } else {
      break;
    }
    if (digit >= radix) break;
    value = value * radix + digit;
  }
  return value;
}

}  // namespace

// The way the product's own tools read numbers: blanks, tabs and line feeds
// are ignored wherever they stand, "." is the decimal point, E or D starts
// an exponent, &H and &O start hexadecimal and octal integers.
double LeadingNumber(const std::wstring& raw) {
  std::wstring text;
  for (wchar_t c : raw) {
    if (c != L' ' && c != L'\t' && c != L'\n') text.push_back(c);
  }
  if (text.size() >= 2 && text[0] == L'&') {
    if (text[1] == L'H' || text[1] == L'h') return ReadRadixInteger(text, 2, 16);
    if (text[1] == L'O' || text[1] == L'o') return ReadRadixInteger(text, 2, 8);
  }
  // Collect the number in the C form strtod reads; the program never changes
  // the C locale, so "." is its decimal point.
  std::string number;
  std::size_t pos = 0;
  if (pos < text.size() && (text[pos] == L'+' || text[pos] == L'-')) {
    number.push_back(static_cast<char>(text[pos++]));
  }
  bool digits = false;
  bool point = false;
  for (; pos < text.size(); ++pos) {
    if (IsDigit(text[pos])) {
      digits = true;
    } else if (text[pos] == L'.' && !point) {
      point = true;
    } else {
      break;
    }
    number.push_back(static_cast<char>(text[pos]));
  }
  if (!digits) return 0;
  if (pos + 1 < text.size() &&
      (text[pos] == L'E' || text[pos] == L'e' || text[pos] == L'D' || text[pos] == L'd')) {
    std::string exponent = "e";
    std::size_t e = pos + 1;
    if (text[e] == L'+' || text[e] == L'-') exponent.push_back(static_cast<char>(text[e++]));
    bool exponentDigits = false;
    std::size_t significant = 0;
    // Leading zeros say nothing, and past a few digits more only push the
    // value to 0 or infinity: the exponent is held at seven digits.
    for (; e < text.size() && IsDigit(text[e]); ++e) {
      exponentDigits = true;
      if (significant == 0 && text[e] == L'0') continue;
      if (significant++ < 7) exponent.push_back(static_cast<char>(text[e]));
    }
    if (exponentDigits && significant == 0) exponent.push_back('0');
    if (exponentDigits) number += exponent;
  }
  return std::strtod(number.c_str(), nullptr);
}

std::int32_t ReadRegistryValue(Platform& platform, RegistryKey key, const std::wstring& name,
                               RegistryValue* slot, std::uint32_t* typeFound) {
  const std::string ansiName = platform.TextToAnsi(name);
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  if (typeFound) *typeFound = 0;
  std::int32_t status = platform.RegQueryValueExA(key, ansiName, &type, nullptr, &size);
  if (status != kErrorSuccess) return status;
  if (typeFound) *typeFound = type;

  if (type == kRegSz) {
    // One spare byte so that the buffer exists even for an empty value.
    std::vector<unsigned char> buffer(static_cast<std::size_t>(size) + 1, 0);
    status = platform.RegQueryValueExA(key, ansiName, &type, buffer.data(), &size);
    if (status != kErrorSuccess) {
      *slot = RegistryValue{};
      return status;
    }
    if (size == 0) return kErrorSuccess;
    // The registry does not promise a terminating NUL: the text runs to the
    // first NUL within the size returned, or to the end of it.
    std::size_t length = 0;
    while (length < size && length < buffer.size() && buffer[length] != 0) ++length;
    slot->kind = RegistryValue::Kind::kText;
    slot->text = platform.AnsiToText(std::string(buffer.begin(), buffer.begin() + length));
    // The ANSI call gives a character the code page lacks as a look-alike
    // (Ł as L) or as "?": a folder of another name, maybe another user's.
    // The registry's own text of the value says what it really holds.
    std::wstring stored;
    if (platform.RegQueryTextW(key, name, &stored) == kErrorSuccess && !stored.empty() &&
        stored != slot->text) {
      slot->text = stored;
    }
    return kErrorSuccess;
  }

  if (type == kRegDword) {
    unsigned char bytes[4] = {0, 0, 0, 0};
    size = sizeof bytes;
    status = platform.RegQueryValueExA(key, ansiName, &type, bytes, &size);
    if (status != kErrorSuccess) return status;
    // The registry stores a REG_DWORD little-endian whatever the machine.
    const std::uint32_t value = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
                                (static_cast<std::uint32_t>(bytes[3]) << 24);
    slot->kind = RegistryValue::Kind::kInteger;
    slot->integer = static_cast<std::int32_t>(value);
    return kErrorSuccess;
  }

  return -1;
}

std::wstring NormalizeInstalledVersion(const std::wstring& text,
                                       const std::wstring& decimalSeparator) {
  double value = LeadingNumber(text);
  if (std::isinf(value)) value = value > 0 ? DBL_MAX : -DBL_MAX;
  if (value == 0) value = 0;  // no "-0"
  char rendered[40];
  std::snprintf(rendered, sizeof rendered, "%.15G", value);
  std::wstring result;
  for (const char* p = rendered; *p; ++p) {
    if (*p == '.' || *p == ',') {
      result += decimalSeparator;
    } else {
      result.push_back(static_cast<wchar_t>(*p));
    }
  }
  return result;
}

bool LookupInstalledProduct(Platform& platform, UpdateContext& context, LookupTrace* trace) {
  LookupTrace unused;
  if (!trace) trace = &unused;
  bool installed = false;
  for (const ProductProfile& profile : ProductProfiles()) {
    if (!TextEquals(platform, profile.identifier, context.productId)) continue;
    trace->profileFound = true;
    trace->registryKey = profile.registryKey;
    trace->folderValueName = platform.AnsiToText(profile.installFolderValue);

    context.registryKey = 0;
    trace->openStatus = platform.RegOpenKeyExA(kHkeyCurrentUser, profile.registryKey, 0,
                                               kKeyAccessMask, &context.registryKey);
    if (trace->openStatus != kErrorSuccess) {
      context.registryKey = 0;
      continue;
    }
    // A missing or unreadable "Version" leaves the slot empty: version "0".
    trace->version.status = ReadRegistryValue(platform, context.registryKey, L"Version",
                                              &context.valueSlot, &trace->version.type);
    trace->version.value = context.valueSlot;
    context.registryVersion = context.valueSlot.AsText();
    trace->decimalSeparator = platform.DecimalSeparator();
    context.installedVersion =
        NormalizeInstalledVersion(context.valueSlot.AsText(), trace->decimalSeparator);

    // The install folder must come from its own value, never from what the
    // version read left in the slot.
    context.valueSlot = RegistryValue{};
    const std::wstring folderValue = platform.AnsiToText(profile.installFolderValue);
    const std::int32_t status = ReadRegistryValue(platform, context.registryKey, folderValue,
                                                  &context.valueSlot, &trace->folder.type);
    trace->folder.status = status;
    trace->folder.value = context.valueSlot;
    // A folder relative to wherever the updater runs is no installation.
    const bool folderRead = status == kErrorSuccess &&
                            context.valueSlot.kind == RegistryValue::Kind::kText &&
                            platform.IsAbsolutePath(context.valueSlot.text);
    context.installFolder = context.valueSlot.AsText();
    if (context.installFolder.empty() ||
        !TextEquals(platform, context.installFolder.substr(context.installFolder.size() - 1),
                    L"\\")) {
      context.installFolder += L"\\";
    }
    context.lockName = profile.lockFileName;
    context.lockPath = context.installFolder + context.lockName;
    platform.RegCloseKey(context.registryKey);
    context.registryKey = 0;
    installed = folderRead;
  }
  return installed;
}

}  // namespace updater
