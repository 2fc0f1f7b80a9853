// A manifest read as the updater reads it, told for people.
#include "manifest_walk.h"

#include <algorithm>
#include <cwchar>

#include "platform/text.h"
#include "wording.h"

namespace updater::tool {
namespace {

using End = ManifestReader::FieldInfo::End;

// The bytes Windows-1252 leaves without a character; read, they become the
// control character of the same number.
bool IsUndefinedIn1252(wchar_t c) {
  return c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
}

// Notes the bytes of `field` that have no character, and whether its bytes
// (beyond ASCII) are UTF-8 where the updater reads Windows-1252.
void NoteUndefined(ManifestWalk& walk, const std::wstring& field, std::size_t line) {
  for (wchar_t c : field) {
    if (IsUndefinedIn1252(c)) walk.undefinedBytes.push_back({line, static_cast<unsigned>(c)});
  }
  if (walk.utf8Marked || walk.utf8Line != 0) return;
  const std::string bytes = EncodeWindows1252(field);
  const std::wstring asUtf8 = DecodeUtf8(bytes);
  if (asUtf8 != field && asUtf8.find(L'\uFFFD') == std::wstring::npos) {
    walk.utf8Line = line;
    walk.utf8Field = asUtf8;
  }
}

std::wstring FaultText(DestinationFault fault) {
  switch (fault) {
    case DestinationFault::kEmpty: return L"the destination is empty";
    case DestinationFault::kRooted: return L"the destination starts at the root of the drive";
    case DestinationFault::kDriveOrStream:
      return L"the destination holds a \":\" (a drive or a data stream)";
    case DestinationFault::kForbiddenCharacter:
      return L"the destination holds a character Windows forbids in names";
    case DestinationFault::kEmptyComponent:
      return L"the destination has an empty folder name (a doubled or trailing \\)";
    case DestinationFault::kClimbs:
      return L"the destination climbs out of the install folder (.. or a name of dots only)";
    case DestinationFault::kDeviceName:
      return L"the destination names a device (CON, NUL, COM1 and the like)";
    case DestinationFault::kNone: break;
  }
  return L"the destination is accepted";
}

std::wstring FateText(const EntryResult& result) {
  const EntryFate& fate = result.fate;
  switch (fate.action) {
    case EntryAction::kPassOver: break;
    case EntryAction::kRefuse: return L"refused: " + FaultText(fate.destination);
    case EntryAction::kHoldBack:
      return L"not copied: the checksum file does not vouch for this source";
    case EntryAction::kCopy:
      if (fate.source == SourceFate::kUnknown) {
        return L"copied if the copy finds it (the folder could not be searched)";
      }
      if (fate.source == SourceFate::kMissing) {
        return L"tried, and listed as failed: it was checked, but is gone now";
      }
      return L"copied";
  }
  switch (fate.source) {
    case SourceFate::kEmpty: return L"passed over: the source is empty";
    case SourceFate::kFolderPart:
      return L"passed over: the source has a folder part, and the updater finds sources by "
             L"their bare name";
    case SourceFate::kWildcard:
      return L"passed over: the source is a wildcard pattern, not the name of a file";
    default: break;
  }
  return L"passed over: no such file beside the manifest";
}

}  // namespace

ManifestWalk WalkManifest(Platform& platform, const std::wstring& tempFolder,
                          const std::wstring& manifestPath, const std::wstring& productId,
                          const PayloadCheck& payload) {
  ManifestWalk walk;
  ManifestReader reader(platform);
  // The bytes the payload check held are the ones the updater reads.
  if (payload.manifestHeld) {
    reader.openBytes(payload.manifestBytes);
  } else if (!reader.open(manifestPath)) {
    return walk;
  }
  walk.opened = true;
  walk.utf8Marked = reader.utf8();
  ManifestList list(platform, reader);
  if (const std::optional<std::wstring> version = list.ReadVersion()) {
    walk.hasVersion = true;
    walk.version = *version;
    walk.versionField = reader.lastField();
    NoteUndefined(walk, walk.version, walk.versionField.line);
  }
  if (walk.hasVersion) {
    while (const std::optional<ManifestEntry> entry = list.Next()) {
      EntryResult result;
      result.entry = *entry;
      result.fate = DecideEntry(platform, tempFolder, *entry, payload);
      NoteUndefined(walk, entry->source, entry->sourceField.line);
      NoteUndefined(walk, *entry->destination, entry->destinationField.line);
      walk.entries.push_back(std::move(result));
    }
    walk.terminated = list.terminated();
    walk.cutEntry = list.cutEntry();
  }
  // What follows the terminator is never read as a list; it is read here
  // only to say what is there.
  std::vector<StrayField> stray;
  walk.declarations = list.ReadDeclarations(productId, &stray);
  walk.fieldsAfterTerminator = stray.size();
  if (!stray.empty()) walk.firstLineAfterTerminator = stray.front().line;
  for (const StrayField& field : stray) NoteUndefined(walk, field.text, field.line);
  walk.readFailed = reader.failed();
  reader.close();
  return walk;
}

std::wstring CutEntryText(const ManifestEntry& e) {
  return L"line " + std::to_wstring(e.sourceField.line) + L": " + QuotedText(e.source) + L" -> " +
         (e.destination ? QuotedText(*e.destination) : L"(none)") +
         L": never used: the file ends inside this entry, so its last name may be cut short";
}

std::wstring EntryText(const EntryResult& result, bool notReached) {
  const ManifestEntry& e = result.entry;
  std::wstring text = L"line " + std::to_wstring(e.sourceField.line) + L": " +
                      QuotedText(e.source) + L" -> " + QuotedText(*e.destination);
  return text + L": " + (notReached ? L"not reached; if reached: " : L"") + FateText(result);
}

std::vector<std::wstring> ManifestProblems(const ManifestWalk& walk) {
  std::vector<std::wstring> problems;
  if (walk.version.empty()) {
    problems.push_back(L"the offered version is empty: the updater never offers this update");
  }
  if (std::count(walk.version.begin(), walk.version.end(), L'.') > 1) {
    problems.push_back(
        L"the version " + QuotedText(walk.version) +
        L" has more than one \".\": the updater reads an installed version as "
        L"one number (5.3.2 as 5.3), so customers on a later " +
        walk.version.substr(0, walk.version.find(L'.', walk.version.find(L'.') + 1)) +
        L".x are offered this older update too");
  }
  if (walk.hasVersion && walk.versionField.end == End::kComma) {
    problems.push_back(L"line " + std::to_wstring(walk.versionField.line) +
                       L": the version ends at an unquoted comma, so it reads as " +
                       QuotedText(walk.version) +
                       L" and the rest of the line as the first source; quote the version to "
                       L"keep the comma in it");
  }

  // A pair belongs on a line of its own: source, comma, destination. An
  // empty line or a field too many or too few shifts every pair after it;
  // that is told once, where it starts.
  std::size_t previousLine = walk.versionField.line;
  End previousEnd = walk.versionField.end;
  bool shifted = walk.hasVersion && walk.versionField.end == End::kComma;
  for (const EntryResult& result : walk.entries) {
    const ManifestEntry& e = result.entry;
    const auto startsLine = [&](const ManifestReader::FieldInfo& field) {
      return previousEnd != End::kComma || field.line != previousLine;
    };
    const bool sourceStarts = startsLine(e.sourceField);
    const bool emptyLine = e.source.empty() && sourceStarts && e.sourceField.end == End::kLineEnd;
    previousLine = e.sourceField.line;
    previousEnd = e.sourceField.end;
    const bool sameLine =
        e.destinationField.line == e.sourceField.line && e.sourceField.end == End::kComma;
    const bool closesLine = e.destinationField.end != End::kComma;
    previousLine = e.destinationField.line;
    previousEnd = e.destinationField.end;
    if (sourceStarts && sameLine && closesLine) {
      shifted = false;
      continue;
    }
    if (shifted) continue;
    shifted = true;
    const std::wstring line = L"line " + std::to_wstring(e.sourceField.line);
    if (emptyLine) {
      problems.push_back(line + L" is empty: it counts as a field and shifts every pair after it");
    } else if (!sameLine) {
      problems.push_back(line + L": " + QuotedText(e.source) + L" and its destination " +
                         QuotedText(*e.destination) + L" (line " +
                         std::to_wstring(e.destinationField.line) +
                         L") are not on one line: a field is missing or one too many, and the "
                         L"pairs from here on are shifted");
    } else {
      problems.push_back(line + L" holds more than two fields: the pairs after it are shifted");
    }
  }

  if (walk.readFailed) {
    problems.push_back(
        L"the manifest could not be read to its end: the updater does not offer "
        L"an update whose list it has not read to \"slut\"");
  } else if (walk.hasVersion && !walk.terminated) {
    problems.push_back(
        L"no \"slut\": the list ends where the file ends, as a manifest still being written "
        L"does, and the updater does not offer an update whose list it has not seen end");
  }
  if (walk.fieldsAfterTerminator > 0) {
    problems.push_back(L"line " + std::to_wstring(walk.firstLineAfterTerminator) + L": " +
                       Count(walk.fieldsAfterTerminator, L"field", L"fields") +
                       L" after \"slut\", which the updater never reads");
  }
  if (walk.utf8Line != 0) {
    problems.push_back(L"line " + std::to_wstring(walk.utf8Line) +
                       L": the manifest is UTF-8 without a byte-order mark, which the updater "
                       L"reads as Windows-1252 (" +
                       QuotedText(walk.utf8Field) +
                       L" would not be found); save it as Windows-1252, or as UTF-8 with BOM");
  }
  for (const ManifestWalk::UndefinedByte& undefined : walk.undefinedBytes) {
    wchar_t hex[8];
    std::swprintf(hex, 8, L"0x%02X", undefined.byte);
    problems.push_back(L"line " + std::to_wstring(undefined.line) + L": the byte " + hex +
                       L" has no character in Windows-1252");
  }
  return problems;
}

}  // namespace updater::tool
