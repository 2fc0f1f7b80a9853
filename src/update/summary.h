// The summary box at the end of a run: what was updated, what was not and
// why, laid out to fit a small screen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace updater {

// What the copy pass did, for the summary box.
struct CopyReport {
  std::vector<std::wstring> updated;  // full destination paths, copied
  std::vector<std::wstring> failed;   // "destination (reason)", not copied
  bool listCut = false;               // the manifest could not be read to its end
  // An update that was to land whole and did not: nothing of it was
  // installed, and every file it changed was put back, except those in
  // `notRestored` ("destination (reason)").
  bool notLanded = false;
  std::vector<std::wstring> notRestored;
  // It did not land because the staged files would not fit on the disk:
  // the bytes needed and the bytes free.
  bool noSpace = false;
  std::uint64_t needed = 0;
  std::uint64_t available = 0;
};

// The summary box must fit a 1366 x 768 screen at 125 % scaling: at most
// this many lines of text, none longer than this many characters. A line
// longer than kSummaryWrapColumns may be wrapped once more by the box
// itself (at a space) and counts as two.
constexpr std::size_t kSummaryMaxLines = 24;
constexpr std::size_t kSummaryMaxColumns = 90;
constexpr std::size_t kSummaryWrapColumns = 64;

// The summary's text: the updated files under "Følgende filer er opdateret:",
// the failures apart under "Følgende filer kunne ikke opdateres:", and a
// line of its own when the list was cut. For an update that did not land
// whole: that it could not be installed and that no file was changed (or,
// when a file could not be put back, those files under a heading of their
// own), why the disk could not take it, then the failures. A summary within the bounds above is
// shown whole; otherwise a line too long is broken after a "\", and when
// the lines are still too many, each section shows its first entries and
// then how many more there are, the updated files giving way first.
std::wstring SummaryText(const CopyReport& report);

// The summary box's icon: an error when a whole update did not land, a
// warning when anything was not updated or the list was cut, else
// information.
unsigned SummaryFlags(const CopyReport& report);

// The short Danish reason a failed copy is listed with ("mappen findes
// ikke", "adgang nægtet" ...).
const wchar_t* CopyErrorReason(CopyError error);

}  // namespace updater
