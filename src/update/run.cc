// RunUpdate: one whole run, from the decision through the questions, the
// wait for the product and the copy pass to the summary.
#include <cstdlib>
#include <optional>
#include <vector>

#include "lockwait/lock_wait.h"
#include "manifest/manifest_reader.h"
#include "update/copy.h"
#include "update/listing.h"
#include "update/summary.h"
#include "update/update.h"
#include "update/whole.h"

namespace updater {
namespace {

std::wstring Title(const UpdateContext& context) { return L"Zorbe IT - " + context.productId; }

// A refused name may hold line breaks or other control characters (a quoted
// manifest field can): shown as "?" they cannot break the summary's lines.
std::wstring Printable(std::wstring text) {
  for (wchar_t& c : text) {
    if (c < 32) c = L'?';
  }
  return text;
}

std::wstring Listed(const std::wstring& destination, CopyError error) {
  return Printable(destination) + L" (" + CopyErrorReason(error) + L")";
}

// What is done with each entry of the list that is not passed over.
class EntryTaker {
 public:
  virtual void Take(const ManifestEntry& entry, const std::wstring& destination,
                    const EntryFate& fate) = 0;

 protected:
  ~EntryTaker() = default;
};

// Reads the checked list from memory in file order and hands each entry
// that is not passed over to `taker`, with its destination and its fate;
// true when "slut" ended the list (it did when it was checked). One loop
// for both ways of applying a list, so the program holds it once.
bool ForEachEntry(Platform& platform, UpdateContext& context, const PayloadCheck& payload,
                  EntryTaker& taker) {
  ManifestReader reader(platform);
  reader.openBytes(payload.manifestBytes);
  ManifestList list(platform, reader);
  context.offeredVersion = list.ReadVersion().value_or(std::wstring());
  while (const std::optional<ManifestEntry> entry = list.Next()) {
    const EntryFate fate = DecideEntry(platform, context.tempFolder, *entry, payload);
    if (fate.action != EntryAction::kPassOver) {
      taker.Take(*entry, context.installFolder + *entry->destination, fate);
    }
  }
  reader.close();
  return list.terminated();
}

// An update without the declaration that it lands whole, as manifests were
// written by hand before: each entry tested, copied and listed before the
// next is read, and copies already made are never undone.
class EachOnItsOwn final : public EntryTaker {
 public:
  EachOnItsOwn(Platform& platform, const UpdateContext& context, CopyReport* report)
      : platform_(platform), context_(context), report_(report) {}
  void Take(const ManifestEntry& entry, const std::wstring& destination,
            const EntryFate& fate) override {
    const CopyError error = fate.action == EntryAction::kCopy
                                ? CopyIntoPlace(platform_, context_.tempFolder + entry.source,
                                                destination, fate.expected)
                                : fate.refusal;
    if (error == CopyError::kNone) {
      report_->updated.push_back(destination);
    } else {
      report_->failed.push_back(Listed(destination, error));
    }
  }

 private:
  Platform& platform_;
  const UpdateContext& context_;
  CopyReport* report_;
};

void ApplyEachOnItsOwn(Platform& platform, UpdateContext& context, const PayloadCheck& payload,
                       CopyReport* report) {
  EachOnItsOwn each(platform, context, report);
  report->listCut = !ForEachEntry(platform, context, payload, each);
}

// The files of an update that lands whole, gathered in list order; an
// entry refused or held back keeps the whole update out.
class Gathering final : public EntryTaker {
 public:
  explicit Gathering(const UpdateContext& context) : context_(context) {}
  void Take(const ManifestEntry& entry, const std::wstring& destination,
            const EntryFate& fate) override {
    if (fate.action == EntryAction::kCopy) {
      files.push_back({context_.tempFolder + entry.source, destination, fate.expected});
    } else {
      refused.push_back({destination, fate.refusal});
    }
  }
  std::vector<WholeFile> files;
  std::vector<FileFailure> refused;

 private:
  const UpdateContext& context_;
};

// An update that lands whole or not at all: the entries' fates decided in
// list order first, and the files then land together.
void ApplyWhole(Platform& platform, UpdateContext& context, const PayloadCheck& payload,
                CopyReport* report) {
  Gathering gathered(context);
  const bool terminated = ForEachEntry(platform, context, payload, gathered);
  std::vector<WholeFile>& files = gathered.files;
  std::vector<FileFailure>& refused = gathered.refused;
  WholeOutcome outcome;
  if (!terminated) {
    report->listCut = true;
    outcome.failed = std::move(refused);
  } else if (!refused.empty()) {
    outcome.failed = std::move(refused);
  } else {
    outcome = LandWhole(platform, context.installFolder, files);
  }
  if (outcome.landed) {
    for (const WholeFile& file : files) report->updated.push_back(file.destination);
    return;
  }
  report->notLanded = true;
  for (const FileFailure& failure : outcome.failed) {
    report->failed.push_back(Listed(failure.destination, failure.error));
  }
  for (const FileFailure& failure : outcome.notRestored) {
    report->notRestored.push_back(Listed(failure.destination, failure.error));
  }
  report->noSpace = outcome.noSpace;
  report->needed = outcome.needed;
  report->available = outcome.available;
}

}  // namespace

void RunUpdate(Platform& platform, const BuildConstants& build) {
  Decision decision = DecideUpdate(platform, build);
  if (decision.outcome != Outcome::kOffer) platform.EndProgram();
  UpdateContext& context = decision.context;
  const std::wstring& br = context.lineBreak;

  // The product may start the updater at every launch: only one of them
  // goes on to ask the user, and only that one reads the payload.
  if (!platform.ClaimSingleInstance(context.productId)) platform.EndProgram();

  // A payload that is not yet complete and exact is not offered: the next
  // delivery may mend it.
  CheckDecisionPayload(platform, build, &decision);
  if (decision.outcome != Outcome::kOffer) platform.EndProgram();
  const PayloadCheck& payload = decision.payload;

  const std::wstring title = Title(context);
  const int answer = platform.ShowMessage(
      L"Der er en ny version af " + context.displayName + br + br + L"Ønsker du at opdatere nu ?",
      kMbYesNo, title);
  // Only a Yes goes on: No, a box that could not be shown and a box closed
  // without an answer (its close button, a session ending) all end the run.
  if (answer != kIdYes) platform.EndProgram();

  platform.ShowMessage(L"Venligst afslut " + context.displayName + br + br +
                           L"Husk at tage backup !" + br + br + L"Tryk på Ok når " +
                           context.displayName + L" er lukket.",
                       kMbIconInformation, title);

  if (!WaitForLockRelease(platform, context.lockPath, context.lockName)) {
    platform.ShowMessage(L"Programmet " + context.displayName +
                             L" er ikke lukket rigtigt og kan derfor ikke opdateres.",
                         kMbIconError, title);
    platform.EndProgram();
  }

  // Second pass: the entries, strictly in file order. Only copies that
  // really happened are listed as updated; the rest are listed with a reason.
  CopyReport report;
  // The list is the one checked, read from memory: a manifest replaced
  // while the updater waited changes nothing. (A list that was not held is
  // never offered; were one to get here, nothing of it is applied.)
  if (!payload.manifestHeld) {
    report.listCut = true;
  } else if (payload.declaresWhole) {
    ApplyWhole(platform, context, payload, &report);
  } else {
    ApplyEachOnItsOwn(platform, context, payload, &report);
  }

  context.summary = SummaryText(report);
  platform.ShowMessage(context.summary, SummaryFlags(report), title);
  platform.EndProgram();
  std::abort();  // not reached: EndProgram does not return
}

}  // namespace updater
