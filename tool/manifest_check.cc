#include "manifest_check.h"

#include <algorithm>
#include <cwchar>
#include <optional>

#include "update/registry_lookup.h"

namespace updater::tool {
namespace {

using End = ManifestReader::FieldInfo::End;

std::wstring Count(std::size_t n, const wchar_t* one, const wchar_t* many) {
  return std::to_wstring(n) + L" " + (n == 1 ? one : many);
}

// The bytes Windows-1252 leaves without a character; read, they become the
// control character of the same number.
bool IsUndefinedIn1252(wchar_t c) {
  return c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
}

void NoteUndefined(ManifestWalk& walk, const std::wstring& field, std::size_t line) {
  for (wchar_t c : field) {
    if (IsUndefinedIn1252(c)) walk.undefinedBytes.push_back({line, static_cast<unsigned>(c)});
  }
}

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

// What the numbers say of `a` against `b`: negative, 0 or positive; no
// value when either is not a version of numbers alone.
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
    case EntryAction::kRefuse:
      if (!result.entry.destination) return L"refused: the file ends before its destination";
      return L"refused: " + FaultText(fate.destination);
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

std::wstring QuotedText(const std::wstring& text) { return L"\"" + ShownText(text) + L"\""; }

std::wstring ShownText(const std::wstring& text) {
  std::wstring shown;
  for (wchar_t c : text) {
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
      wchar_t code[12];
      std::swprintf(code, 12, L"<%02X>", static_cast<unsigned>(c));
      shown += code;
    } else {
      shown.push_back(c);
    }
  }
  return shown;
}

ManifestWalk WalkManifest(Platform& platform, const std::wstring& tempFolder,
                          const std::wstring& manifestPath, const PayloadCheck& payload) {
  ManifestWalk walk;
  ManifestReader reader(platform);
  if (!reader.open(manifestPath)) return walk;
  walk.opened = true;
  if (const std::optional<std::wstring> version = reader.readField()) {
    walk.hasVersion = true;
    walk.version = *version;
    walk.versionField = reader.lastField();
    NoteUndefined(walk, walk.version, walk.versionField.line);
  }
  if (walk.hasVersion) {
    bool terminated = false;
    while (const std::optional<ManifestEntry> entry = NextEntry(platform, reader, &terminated)) {
      EntryResult result;
      result.entry = *entry;
      result.fate = DecideEntry(platform, tempFolder, *entry, payload, false);
      NoteUndefined(walk, entry->source, entry->sourceField.line);
      if (entry->destination) {
        NoteUndefined(walk, *entry->destination, entry->destinationField.line);
      }
      walk.entries.push_back(std::move(result));
    }
    walk.terminated = terminated;
  }
  // What follows the terminator is never read by the updater; it is read
  // here only to say that it is there.
  if (walk.terminated) {
    while (const std::optional<std::wstring> field = reader.readField()) {
      if (walk.fieldsAfterTerminator++ == 0)
        walk.firstLineAfterTerminator = reader.lastField().line;
      NoteUndefined(walk, *field, reader.lastField().line);
    }
  }
  walk.readFailed = reader.failed();
  walk.loneLineEnds = reader.loneLineEnds();
  walk.firstLoneLineEnd = reader.firstLoneLineEnd();
  reader.close();
  return walk;
}

std::wstring EntryText(const EntryResult& result) {
  const ManifestEntry& e = result.entry;
  std::wstring text = L"line " + std::to_wstring(e.sourceField.line) + L": " +
                      QuotedText(e.source) + L" -> " +
                      (e.destination ? QuotedText(*e.destination) : L"(none)");
  return text + L": " + FateText(result);
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
    const bool sameLine = e.destination && e.destinationField.line == e.sourceField.line &&
                          e.sourceField.end == End::kComma;
    const bool closesLine = e.destination && e.destinationField.end != End::kComma;
    if (e.destination) {
      previousLine = e.destinationField.line;
      previousEnd = e.destinationField.end;
    }
    if (sourceStarts && sameLine && closesLine) {
      shifted = false;
      continue;
    }
    if (shifted || !e.destination) continue;
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
    problems.push_back(L"the manifest could not be read to its end");
  } else if (walk.hasVersion && !walk.terminated) {
    problems.push_back(L"no \"slut\": the list ends where the file ends");
  }
  if (walk.fieldsAfterTerminator > 0) {
    problems.push_back(L"line " + std::to_wstring(walk.firstLineAfterTerminator) + L": " +
                       Count(walk.fieldsAfterTerminator, L"field", L"fields") +
                       L" after \"slut\", which the updater never reads");
  }
  if (walk.loneLineEnds > 0) {
    problems.push_back(Count(walk.loneLineEnds, L"line end is", L"line ends are") +
                       L" a lone LF or CR instead of CR LF (the first ends line " +
                       std::to_wstring(walk.firstLoneLineEnd) + L")");
  }
  for (const ManifestWalk::UndefinedByte& undefined : walk.undefinedBytes) {
    wchar_t hex[8];
    std::swprintf(hex, 8, L"0x%02X", undefined.byte);
    problems.push_back(L"line " + std::to_wstring(undefined.line) + L": the byte " + hex +
                       L" has no character in Windows-1252");
  }
  return problems;
}

std::wstring VersionVerdict(const VersionTest& test, const std::wstring& offered,
                            const std::wstring& registryVersion) {
  const std::optional<int> numbers = NumberOrder(offered, registryVersion);
  if (test.sameText) return test.offered + L" is the installed version's own text";
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

std::wstring WhyNotFound(PathKind kind) {
  switch (kind) {
    case PathKind::kNothing: return L"absent";
    case PathKind::kHiddenFile: return L"hidden (or a system file), which the updater passes over";
    case PathKind::kFolder: return L"a folder, not a file";
    case PathKind::kUnknown: return L"it cannot be looked at";
    case PathKind::kPlainFile: break;
  }
  return L"present, but the updater's search did not find it";
}

namespace {

std::wstring PayloadProblemText(const PayloadCheck& check, const PayloadProblem& problem) {
  const std::wstring name = QuotedText(problem.name);
  const std::wstring line = L"line " + std::to_wstring(check.checksumFaultLine);
  switch (problem.fault) {
    case PayloadFault::kChecksumFile:
      switch (check.checksumFault) {
        case ChecksumFileFault::kMalformed:
          return line + L" of the checksum file is not \"<64 hex digits>  <name>\" in UTF-8";
        case ChecksumFileFault::kConflict:
          return line + L" of the checksum file lists a file a second time with another digest";
        default:
          return L"the checksum file cannot be read, or is larger than " +
                 std::to_wstring(kMaxChecksumFileBytes / 1024) + L" KiB";
      }
    case PayloadFault::kManifestUnlisted: return name + L" has no line in the checksum file";
    case PayloadFault::kOtherManifest:
      return L"the checksum file belongs to another manifest: the line of " + name +
             L" does not match it";
    case PayloadFault::kUnlisted: return name + L" has no line in the checksum file";
    case PayloadFault::kMissing: return name + L" is missing";
    case PayloadFault::kDamaged: return name + L" is damaged: its bytes do not match its line";
    case PayloadFault::kUnreadable: return name + L" cannot be read";
    case PayloadFault::kListCut: return L"the manifest cannot be read to its end";
  }
  return name;
}

}  // namespace

PayloadReport ReportPayload(const PayloadCheck& check, const std::wstring& checksumPath) {
  PayloadReport report;
  std::wstring& text = report.text;
  text = L"Checksum file: " + ShownText(checksumPath) + L": ";
  if (!check.present) {
    text += L"none: the payload is copied unchecked\n";
    return report;
  }
  if (check.ok()) {
    text += L"the manifest and " + Count(check.verified.size(), L"payload file", L"payload files") +
            L" match\n";
    return report;
  }
  text += L"not kept: the updater does not offer the update\n";
  for (const PayloadProblem& problem : check.problems) {
    report.problems.push_back(PayloadProblemText(check, problem));
  }
  return report;
}

CheckOutcome CheckFolder(Platform& platform, Inspection& inspection, const BuildConstants& build,
                         const std::wstring& folder, const std::vector<std::wstring>& installed) {
  CheckOutcome outcome;
  const std::wstring tempFolder = folder + L"\\";
  const std::wstring manifestName = ManifestFileName(build.productId);
  const std::wstring manifestPath = tempFolder + manifestName;
  const FindResult found = platform.FindFileName(manifestPath);
  if (!found.ok) {
    outcome.text = L"The folder " + folder + L" cannot be searched.\n";
    return outcome;
  }
  if (!TextEquals(platform, found.name, manifestName)) {
    const PathKind folderKind = inspection.QueryPath(folder);
    outcome.text = folderKind == PathKind::kFolder
                       ? L"No manifest: " + manifestPath + L" is " +
                             WhyNotFound(inspection.QueryPath(manifestPath)) + L".\n"
                       : L"The folder " + folder + L" does not exist.\n";
    return outcome;
  }
  const PayloadCheck check = CheckPayload(platform, tempFolder, build.productId);
  const ManifestWalk walk = WalkManifest(platform, tempFolder, tempFolder + found.name, check);
  if (!walk.opened) {
    outcome.text = L"The manifest " + tempFolder + found.name + L" cannot be opened.\n";
    return outcome;
  }

  std::wstring& text = outcome.text;
  text += L"Manifest: " + ShownText(tempFolder + found.name) + L"\n";
  text += L"Offered version: " + QuotedText(walk.version) + L"\n";
  text += L"Entries:\n";
  std::size_t copied = 0, passedOver = 0, refused = 0;
  for (const EntryResult& result : walk.entries) {
    text += L"  " + EntryText(result) + L"\n";
    switch (result.fate.action) {
      case EntryAction::kCopy: ++copied; break;
      case EntryAction::kPassOver: ++passedOver; break;
      case EntryAction::kRefuse:
      case EntryAction::kHoldBack: ++refused; break;
    }
  }
  if (walk.entries.empty()) text += L"  (none)\n";

  const PayloadReport payload =
      ReportPayload(check, tempFolder + ChecksumFileName(build.productId));
  text += payload.text;

  std::vector<std::wstring> problems = ManifestProblems(walk);
  problems.insert(problems.end(), payload.problems.begin(), payload.problems.end());
  for (const std::wstring& version : installed) {
    // What the numbers say, against what the updater does on a point and on
    // a comma locale: a problem only where the two disagree, or where the
    // locales do.
    const std::optional<int> numbers = NumberOrder(walk.version, version);
    std::wstring line = L"Customers on " + version + L": ";
    bool offered[2] = {false, false};
    const struct {
      const wchar_t* name;
      const wchar_t* separator;
    } locales[] = {{L"point", L"."}, {L"comma", L","}};
    for (int i = 0; i < 2; ++i) {
      const VersionTest test = TestVersion(platform, walk.version, version, locales[i].separator);
      offered[i] = test.newer;
      if (i == 1) line += L"; ";
      line += std::wstring(test.newer ? L"offered" : L"not offered") + L" on a " + locales[i].name +
              L" locale (" + VersionVerdict(test, walk.version, version) + L")";
    }
    text += line + L"\n";
    const std::wstring customers = L"customers on " + version;
    if (offered[0] != offered[1]) {
      problems.push_back(customers +
                         L" are offered this update on one locale and not on the "
                         L"other");
    } else if (numbers && *numbers > 0 && !offered[0]) {
      problems.push_back(customers +
                         L" are not offered this update anywhere, though it is newer "
                         L"by number: versions compare as text");
    } else if (numbers && *numbers == 0 && offered[0]) {
      problems.push_back(customers +
                         L" are offered this update again, though it is the same "
                         L"version");
    } else if (numbers && *numbers < 0 && offered[0]) {
      problems.push_back(customers +
                         L" are offered this update, an older version by number: "
                         L"versions compare as text");
    }
  }

  text += L"Problems:";
  text += problems.empty() ? L" none\n" : L"\n";
  for (const std::wstring& problem : problems) text += L"  " + problem + L"\n";
  text += L"Result: " + Count(walk.entries.size(), L"entry", L"entries") + L", " +
          std::to_wstring(copied) + L" copied, " + std::to_wstring(passedOver) + L" passed over, " +
          std::to_wstring(refused) + L" refused; " +
          Count(problems.size(), L"problem", L"problems") + L".\n";
  if (walk.readFailed) {
    outcome.status = 2;
  } else {
    outcome.status = problems.empty() && copied == walk.entries.size() ? 0 : 1;
  }
  return outcome;
}

}  // namespace updater::tool
