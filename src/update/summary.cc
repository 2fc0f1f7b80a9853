// The summary box's text and icon, and the reasons a copy failed.
#include "update/summary.h"

#include <utility>

namespace updater {
namespace {

const wchar_t kUpdatedHeading[] = L"Følgende filer er opdateret:";
const wchar_t kFailedHeading[] = L"Følgende filer kunne ikke opdateres:";
const wchar_t kListCut[] = L"Listen over filer kunne ikke læses til ende.";
const wchar_t kNotLanded[] = L"Opdateringen kunne ikke gennemføres.";
const wchar_t kNothingChanged[] = L"Ingen filer er ændret.";
const wchar_t kNotRestoredHeading[] = L"Følgende filer er ændret og kunne ikke sættes tilbage:";

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
    case CopyError::kExists: return L"en fil står i vejen";
    case CopyError::kFolderInPlace: return L"en mappe har filens navn";
    case CopyError::kOutside: return L"mappen fører uden for programmappen";
    case CopyError::kNone:
    case CopyError::kOther: break;
  }
  return L"ukendt fejl";
}

namespace {

// Whole megabytes: the needed rounded up, the free rounded down, so that the
// figures never make the shortage look smaller than it is.
std::wstring MegabytesUp(std::uint64_t bytes) {
  return std::to_wstring((bytes + (1u << 20) - 1) >> 20);
}
std::wstring MegabytesDown(std::uint64_t bytes) { return std::to_wstring(bytes >> 20); }

// A section of the summary: its heading (none for the updated files, whose
// heading opens the text), its entries, and the end of its "more" line.
struct Part {
  const wchar_t* heading;
  const std::vector<std::wstring>* items;
  const wchar_t* what;
  int priority;  // a higher one gets its lines first
};

}  // namespace

std::wstring SummaryText(const CopyReport& report) {
  const std::wstring br = L"\r\n";
  std::wstring head;
  std::size_t fixed = 0;
  std::vector<Part> parts;
  if (report.notLanded) {
    head = kNotLanded;
    if (report.notRestored.empty()) head += std::wstring(L" ") + kNothingChanged;
    head += br;
    fixed = 1;
    if (report.noSpace) {
      head += br + L"Der er ikke plads nok på disken: opdateringen kræver " +
              MegabytesUp(report.needed) + L" MB, og der er " + MegabytesDown(report.available) +
              L" MB fri." + br;
      fixed += 2;
    }
    parts.push_back({kNotRestoredHeading, &report.notRestored, L"kunne ikke sættes tilbage", 2});
    parts.push_back({kFailedHeading, &report.failed, L"kunne ikke opdateres", 1});
  } else {
    head = kUpdatedHeading + br;
    fixed = 1;
    parts.push_back({nullptr, &report.updated, L"er opdateret", 0});
    parts.push_back({kFailedHeading, &report.failed, L"kunne ikke opdateres", 1});
  }
  std::vector<Section> sections;
  for (const Part& part : parts) {
    sections.emplace_back(*part.items);
    // A section of its own heading takes an empty line and the heading.
    if (part.heading != nullptr && !part.items->empty()) fixed += 2;
  }
  if (report.listCut) fixed += 2;  // an empty line and the cut line

  // Each section gets its lines by priority; a section that cannot show
  // all its entries ends with the line that counts the rest, and every
  // section still to come keeps room for that line.
  std::size_t budget = kSummaryMaxLines - fixed;
  std::vector<std::size_t> shown(parts.size(), 0);
  // The parts by priority, highest first (there are two).
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < parts.size(); ++i) order.push_back(i);
  if (order.size() == 2 && parts[1].priority > parts[0].priority) std::swap(order[0], order[1]);
  std::size_t total = 0;
  for (const Section& section : sections) total += section.total;
  const bool fits = total <= budget;
  bool cut = false;  // once a section is cut short, those after it only count
  for (std::size_t k = 0; k < order.size(); ++k) {
    const std::size_t i = order[k];
    const Section& section = sections[i];
    if (fits) {
      shown[i] = section.entries.size();
      continue;
    }
    if (cut) continue;
    std::size_t reserve = 0;
    for (std::size_t later = k + 1; later < order.size(); ++later) {
      if (!sections[order[later]].entries.empty()) ++reserve;
    }
    const std::size_t room = budget > reserve ? budget - reserve : 0;
    if (section.total <= room) {
      shown[i] = section.entries.size();
      budget -= section.total;
    } else {
      shown[i] = room > 0 ? section.Fitting(room - 1) : 0;
      cut = true;
      std::size_t used = 1;
      for (std::size_t e = 0; e < shown[i]; ++e) used += section.costs[e];
      budget -= used < budget ? used : budget;
    }
  }

  std::wstring text = head;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const Section& section = sections[i];
    if (parts[i].heading != nullptr) {
      if (section.entries.empty()) continue;
      text += br + parts[i].heading + br;
    }
    text += section.Text(shown[i],
                         MoreLine(shown[i], section.entries.size() - shown[i], parts[i].what), br);
  }
  if (report.listCut) text += br + kListCut + br;
  return text;
}

unsigned SummaryFlags(const CopyReport& report) {
  if (report.notLanded) return kMbIconError;
  return report.failed.empty() && !report.listCut ? kMbIconInformation : kMbIconWarning;
}

}  // namespace updater
