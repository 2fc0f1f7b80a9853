// The summary box's text and icon, and the reasons a copy failed.
#include "update/summary.h"

namespace updater {
namespace {

const wchar_t kUpdatedHeading[] = L"Følgende filer er opdateret:";
const wchar_t kFailedHeading[] = L"Følgende filer kunne ikke opdateres:";
const wchar_t kListCut[] = L"Listen over filer kunne ikke læses til ende.";

// Continuation lines of an entry broken in the summary start with this.
const wchar_t kContinuation[] = L"    ";

// One entry of the summary as lines of at most kSummaryMaxColumns
// characters: broken after the last "\" that fits, or where the line is full
// when no "\" does; the lines after the first are indented.
std::vector<std::wstring> WrapEntry(const std::wstring& entry) {
  std::vector<std::wstring> lines;
  std::wstring rest = entry;
  std::wstring indent;
  while (indent.size() + rest.size() > kSummaryMaxColumns) {
    const std::size_t room = kSummaryMaxColumns - indent.size();
    const std::size_t slash = rest.rfind(L'\\', room - 1);
    const std::size_t cut = slash == std::wstring::npos || slash == 0 ? room : slash + 1;
    lines.push_back(indent + rest.substr(0, cut));
    rest.erase(0, cut);
    indent = kContinuation;
  }
  lines.push_back(indent + rest);
  return lines;
}

std::size_t LineCost(const std::wstring& line) { return line.size() > kSummaryWrapColumns ? 2 : 1; }

// A section's entries, each as its lines, and what they cost together.
struct Section {
  std::vector<std::vector<std::wstring>> entries;
  std::vector<std::size_t> costs;
  std::size_t total = 0;

  explicit Section(const std::vector<std::wstring>& items) {
    for (const std::wstring& item : items) {
      entries.push_back(WrapEntry(item));
      std::size_t cost = 0;
      for (const std::wstring& line : entries.back()) cost += LineCost(line);
      costs.push_back(cost);
      total += cost;
    }
  }

  // How many entries from the first fit in `budget` lines.
  std::size_t Fitting(std::size_t budget) const {
    std::size_t used = 0;
    std::size_t count = 0;
    while (count < costs.size() && used + costs[count] <= budget) used += costs[count++];
    return count;
  }

  // The first `shown` entries, then `more` (when some are left out).
  std::wstring Text(std::size_t shown, const std::wstring& more, const std::wstring& br) const {
    std::wstring text;
    for (std::size_t i = 0; i < shown; ++i) {
      for (const std::wstring& line : entries[i]) text += line + br;
    }
    if (shown < entries.size()) text += more + br;
    return text;
  }
};

// "... og 12 filer mere er opdateret." after some shown, "12 filer er
// opdateret." when none are; `what` is the end of the sentence.
std::wstring MoreLine(std::size_t shown, std::size_t hidden, const std::wstring& what) {
  const std::wstring files = std::to_wstring(hidden) + (hidden == 1 ? L" fil" : L" filer");
  if (shown == 0) return files + L" " + what + L".";
  return L"... og " + files + L" mere " + what + L".";
}

}  // namespace

const wchar_t* CopyErrorReason(CopyError error) {
  switch (error) {
    case CopyError::kFolderMissing: return L"mappen findes ikke";
    case CopyError::kAccessDenied: return L"adgang nægtet";
    case CopyError::kInUse: return L"filen er i brug";
    case CopyError::kInvalidName: return L"ugyldigt filnavn";
    case CopyError::kSourceMissing: return L"kildefilen mangler";
    case CopyError::kNoSpace: return L"disken er fuld";
    case CopyError::kChanged: return L"kildefilen er ændret";
    case CopyError::kNone:
    case CopyError::kOther: break;
  }
  return L"ukendt fejl";
}

std::wstring SummaryText(const CopyReport& report) {
  const std::wstring br = L"\r\n";
  const Section updated(report.updated);
  const Section failed(report.failed);
  std::size_t fixed = 1;                   // the heading
  if (!report.failed.empty()) fixed += 2;  // an empty line and the failures' heading
  if (report.listCut) fixed += 2;          // an empty line and the cut line
  const std::size_t budget = kSummaryMaxLines - fixed;

  std::size_t shownUpdated = updated.entries.size();
  std::size_t shownFailed = failed.entries.size();
  if (updated.total + failed.total > budget) {
    // The failures matter most: the updated files give way to them first,
    // down to the one line that counts them.
    const std::size_t countLine = report.updated.empty() ? 0 : 1;
    if (failed.total + countLine <= budget) {
      shownUpdated = updated.Fitting(budget - failed.total - countLine);
    } else {
      shownUpdated = 0;
      shownFailed = failed.Fitting(budget - countLine - 1);
    }
  }

  std::wstring text = kUpdatedHeading + br;
  text += updated.Text(
      shownUpdated, MoreLine(shownUpdated, updated.entries.size() - shownUpdated, L"er opdateret"),
      br);
  if (!report.failed.empty()) {
    text += br + kFailedHeading + br;
    text += failed.Text(
        shownFailed,
        MoreLine(shownFailed, failed.entries.size() - shownFailed, L"kunne ikke opdateres"), br);
  }
  if (report.listCut) text += br + kListCut + br;
  return text;
}

unsigned SummaryFlags(const CopyReport& report) {
  return report.failed.empty() && !report.listCut ? kMbIconInformation : kMbIconWarning;
}

}  // namespace updater
