#include "manifest_check.h"

#include <cwchar>

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

// The leading number of a version as a decimal of any length: its whole
// part without leading zeros and its fraction without trailing zeros, the
// mark "." or ",". Ordered as numbers are: 10.0 after 9.5, 5.10 before 5.9.
struct Decimal {
  std::wstring whole;
  std::wstring fraction;
  bool operator<(const Decimal& other) const {
    if (whole.size() != other.whole.size()) return whole.size() < other.whole.size();
    if (whole != other.whole) return whole < other.whole;
    return fraction < other.fraction;
  }
};

Decimal LeadingDecimal(const std::wstring& version) {
  Decimal number;
  std::size_t i = version.find_first_not_of(L" \t");
  const auto digit = [&](std::size_t at) {
    return at < version.size() && version[at] >= L'0' && version[at] <= L'9';
  };
  for (; digit(i); ++i) {
    if (version[i] != L'0' || !number.whole.empty()) number.whole.push_back(version[i]);
  }
  if (i < version.size() && (version[i] == L'.' || version[i] == L',')) {
    for (++i; digit(i); ++i) number.fraction.push_back(version[i]);
  }
  while (!number.fraction.empty() && number.fraction.back() == L'0') number.fraction.pop_back();
  return number;
}

// Whether `a` is a greater number than `b`: only when both start with one.
bool GreaterNumber(const std::wstring& a, const std::wstring& b) {
  const auto starts = [](const std::wstring& v) {
    const std::size_t i = v.find_first_not_of(L" \t");
    return i != std::wstring::npos && v[i] >= L'0' && v[i] <= L'9';
  };
  return starts(a) && starts(b) && LeadingDecimal(b) < LeadingDecimal(a);
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
  switch (result.fate) {
    case SourceFate::kEmpty: return L"passed over: the source is empty";
    case SourceFate::kFolderPart:
      return L"passed over: the source has a folder part, and the updater finds sources by "
             L"their bare name";
    case SourceFate::kWildcard:
      return L"passed over: the source is a wildcard pattern, not the name of a file";
    case SourceFate::kMissing: return L"passed over: no such file beside the manifest";
    case SourceFate::kPresent:
    case SourceFate::kUnknown: break;
  }
  if (!result.entry.destination) return L"refused: the file ends before its destination";
  if (result.fault != DestinationFault::kNone) return L"refused: " + FaultText(result.fault);
  if (result.fate == SourceFate::kUnknown) {
    return L"copied if the copy finds it (the folder could not be searched)";
  }
  return L"copied";
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

bool EntryResult::WouldCopy() const {
  return (fate == SourceFate::kPresent || fate == SourceFate::kUnknown) && entry.destination &&
         fault == DestinationFault::kNone;
}

ManifestWalk WalkManifest(Platform& platform, const std::wstring& tempFolder,
                          const std::wstring& manifestPath) {
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
      result.fate = TestSource(platform, tempFolder, entry->source);
      result.fault = CheckDestination(entry->destination.value_or(std::wstring()));
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

std::wstring VersionVerdict(Platform& platform, const std::wstring& offered,
                            const std::wstring& installed, const std::wstring& decimalSeparator) {
  const std::wstring read = OfferedVersionInLocale(offered, decimalSeparator);
  if (IsNewerVersion(platform, offered, installed, decimalSeparator)) {
    std::wstring text = read + L" sorts after " + installed;
    if (GreaterNumber(installed, offered)) text += L", though older by number";
    return text;
  }
  const int order = TextCompare(platform, read, installed);
  if (order == 0) return read + L" equals " + installed;
  std::wstring text = read + L" sorts before " + installed;
  if (GreaterNumber(offered, installed)) text += L": 10 sorts before 9 as text";
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

CheckOutcome CheckFolder(Platform& platform, const BuildConstants& build,
                         const std::wstring& folder, const std::vector<std::wstring>& installed) {
  CheckOutcome outcome;
  const std::wstring tempFolder = folder + L"\\";
  const std::wstring manifestName = build.productId + L".ini";
  const std::wstring manifestPath = tempFolder + manifestName;
  const FindResult found = platform.FindFileName(manifestPath);
  if (!found.ok) {
    outcome.text = L"The folder " + folder + L" cannot be searched.\n";
    return outcome;
  }
  if (!TextEquals(platform, found.name, manifestName)) {
    const PathKind folderKind = platform.QueryPath(folder);
    outcome.text = folderKind == PathKind::kFolder
                       ? L"No manifest: " + manifestPath + L" is " +
                             WhyNotFound(platform.QueryPath(manifestPath)) + L".\n"
                       : L"The folder " + folder + L" does not exist.\n";
    return outcome;
  }
  const ManifestWalk walk = WalkManifest(platform, tempFolder, tempFolder + found.name);
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
    if (result.WouldCopy()) {
      ++copied;
    } else if (result.fate == SourceFate::kPresent || result.fate == SourceFate::kUnknown) {
      ++refused;
    } else {
      ++passedOver;
    }
  }
  if (walk.entries.empty()) text += L"  (none)\n";

  const PayloadReport payload = ReportPayload(CheckPayload(platform, tempFolder, build.productId),
                                              tempFolder + ChecksumFileName(build.productId));
  text += payload.text;

  std::vector<std::wstring> problems = ManifestProblems(walk);
  problems.insert(problems.end(), payload.problems.begin(), payload.problems.end());
  for (const std::wstring& version : installed) {
    std::wstring line = L"Customers on " + version + L": ";
    bool offeredEverywhere = true;
    const struct {
      const wchar_t* name;
      const wchar_t* separator;
    } locales[] = {{L"point", L"."}, {L"comma", L","}};
    for (const auto& locale : locales) {
      const std::wstring normalized = NormalizeInstalledVersion(version, locale.separator);
      const bool offered = IsNewerVersion(platform, walk.version, normalized, locale.separator);
      offeredEverywhere = offeredEverywhere && offered;
      if (locale.separator[0] == L',') line += L"; ";
      line += std::wstring(offered ? L"offered" : L"not offered") + L" on a " + locale.name +
              L" locale (" + VersionVerdict(platform, walk.version, normalized, locale.separator) +
              L")";
    }
    text += line + L"\n";
    if (!offeredEverywhere) {
      problems.push_back(L"customers on " + version + L" are not offered this update everywhere");
    } else if (GreaterNumber(NormalizeInstalledVersion(version, L"."), walk.version)) {
      problems.push_back(L"customers on " + version +
                         L" are offered this update, an older version by number: versions "
                         L"compare as text");
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
