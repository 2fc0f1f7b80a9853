// The rules for one entry of the manifest's list: the presence test of its
// source, the checks on its destination, and what the copy pass does with it.
#include "update/entries.h"

namespace updater {
namespace {

bool IsNameCharacterAllowed(wchar_t c) {
  if (c < 32) return false;
  switch (c) {
    case L'<':
    case L'>':
    case L'"':
    case L'|':
    case L'?':
    case L'*': return false;
    default: return true;
  }
}

// Windows opens a device, not a file, for these names whatever the extension.
bool IsDeviceName(const std::wstring& component) {
  std::wstring base = component.substr(0, component.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  for (wchar_t& c : base) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 0x20);
  }
  if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" || base == L"CONIN$" ||
      base == L"CONOUT$") {
    return true;
  }
  if (base.size() != 4 || (base.compare(0, 3, L"COM") != 0 && base.compare(0, 3, L"LPT") != 0)) {
    return false;
  }
  // Windows counts the superscript digits ¹ ² ³ as port numbers too.
  const wchar_t port = base[3];
  return (port >= L'1' && port <= L'9') || port == 0xB9 || port == 0xB2 || port == 0xB3;
}

}  // namespace

DestinationFault CheckDestination(const std::wstring& name) {
  if (name.empty()) return DestinationFault::kEmpty;
  if (name[0] == L'\\' || name[0] == L'/') return DestinationFault::kRooted;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = name.size();
    const std::wstring component = name.substr(start, end - start);
    for (wchar_t c : component) {
      if (c == L':') return DestinationFault::kDriveOrStream;
      if (!IsNameCharacterAllowed(c)) return DestinationFault::kForbiddenCharacter;
    }
    // Windows drops trailing dots and spaces, so ". ." or "..." can climb
    // like "..": a component made only of dots and spaces is refused, and so
    // is an empty one (a doubled or trailing separator).
    if (component.empty()) return DestinationFault::kEmptyComponent;
    if (component.find_first_not_of(L". ") == std::wstring::npos) return DestinationFault::kClimbs;
    if (IsDeviceName(component)) return DestinationFault::kDeviceName;
    start = end + 1;
  }
  return DestinationFault::kNone;
}

bool IsSafeDestination(const std::wstring& name) {
  return CheckDestination(name) == DestinationFault::kNone;
}

std::optional<SourceFate> SourceFateByName(const std::wstring& source) {
  if (source.empty()) return SourceFate::kEmpty;
  if (source.find_first_of(L"\\/") != std::wstring::npos) return SourceFate::kFolderPart;
  if (source.find_first_of(L"*?") != std::wstring::npos) return SourceFate::kWildcard;
  return std::nullopt;
}

SourceFate TestSource(Platform& platform, const std::wstring& tempFolder,
                      const std::wstring& source) {
  // The test gives the bare on-disk name, so these can never match; they
  // are decided before it is asked.
  if (const std::optional<SourceFate> byName = SourceFateByName(source)) return *byName;
  const FindResult found = platform.FindFileName(tempFolder + source);
  // A presence test that cannot be made lets the copy decide.
  if (!found.ok) return SourceFate::kUnknown;
  if (TextEquals(platform, found.name, source)) return SourceFate::kPresent;
  return SourceFate::kMissing;
}

EntryFate DecideEntry(Platform& platform, const std::wstring& tempFolder,
                      const ManifestEntry& entry, const PayloadCheck& payload) {
  EntryFate fate;
  fate.expected = payload.present ? payload.verified.Find(entry.source) : nullptr;
  fate.source = TestSource(platform, tempFolder, entry.source);
  const bool vanished = fate.expected != nullptr && fate.source == SourceFate::kMissing;
  if (fate.source != SourceFate::kPresent && fate.source != SourceFate::kUnknown && !vanished) {
    return fate;
  }
  fate.destination = CheckDestination(entry.destination.value_or(std::wstring()));
  if (fate.destination != DestinationFault::kNone) {
    fate.action = EntryAction::kRefuse;
    fate.refusal = CopyError::kInvalidName;
  } else if (payload.present && fate.expected == nullptr) {
    fate.action = EntryAction::kHoldBack;
    fate.refusal = CopyError::kChanged;
  } else {
    fate.action = EntryAction::kCopy;
  }
  return fate;
}

}  // namespace updater
