// Landing an update whole: stage, commit, then finish or undo.
#include "update/whole.h"

#include "platform/text.h"
#include "update/staged_names.h"
#include "update/staging.h"

namespace updater {
namespace {

// Beyond the files themselves: a twentieth of them, and at least 16 MiB.
constexpr std::uint64_t kMinimumMargin = 16ull * 1024 * 1024;

// One file on its way, and how far it got.
struct Move {
  const WholeFile* file;
  std::wstring staged;  // empty until staged, and again once renamed in
  std::wstring aside;   // where its old file went; empty when it had none
  bool committed = false;
};

class Landing {
 public:
  Landing(Platform& platform, const std::wstring& installFolder,
          const std::vector<WholeFile>& files)
      : platform_(platform), installFolder_(installFolder) {
    for (const WholeFile& file : files) moves_.push_back(Move{&file, {}, {}, false});
  }

  WholeOutcome Run() {
    // What a killed run left beside these destinations goes first: it takes
    // room, and its names are ours.
    for (const Move& move : moves_) RemoveLeftovers(platform_, move.file->destination);
    if (!CheckAll() || !CheckSpace()) return std::move(outcome_);
    for (Move& move : moves_) {
      if (!Stage(move)) return Undo();
    }
    for (Move& move : moves_) {
      if (!Commit(move)) return Undo();
    }
    // Landed: the old files go. One that cannot be removed now (a program
    // still maps it) is a leftover the next run removes.
    for (const Move& move : moves_) {
      if (!move.aside.empty()) platform_.RemoveFile(move.aside);
    }
    SyncFolders();
    outcome_.landed = true;
    return std::move(outcome_);
  }

 private:
  // Every destination's way and place, and every source, before anything
  // is written; all that stands in the way is named, not only the first.
  bool CheckAll() {
    for (const Move& move : moves_) {
      const WholeFile& file = *move.file;
      std::vector<std::wstring> toMake;
      CopyError error = CheckPlace(platform_, installFolder_, file.destination, &toMake);
      std::unique_ptr<InputFile> in;
      FileStamp stamp;
      if (error == CopyError::kNone) {
        in = platform_.OpenFile(file.source);
        if (!in) error = CopyError::kSourceMissing;
      }
      if (in && in->Stamp(&stamp)) {
        total_ += stamp.size;
      } else {
        sizesKnown_ = false;
      }
      if (error != CopyError::kNone) outcome_.failed.push_back({file.destination, error});
    }
    return outcome_.failed.empty();
  }

  // Nothing is staged when the staged files would not fit. Where the sizes
  // or the free space cannot be told, staging is tried: a disk that fills
  // up on the way is undone like any other failure.
  bool CheckSpace() {
    std::uint64_t available = 0;
    if (!sizesKnown_ || !platform_.FreeSpace(installFolder_, &available)) return true;
    if (WithMargin(total_) <= available) return true;
    outcome_.noSpace = true;
    outcome_.needed = WithMargin(total_);
    outcome_.available = available;
    return false;
  }

  bool Stage(Move& move) {
    const WholeFile& file = *move.file;
    std::vector<std::wstring> toMake;
    CopyError error = CheckWay(platform_, installFolder_, file.destination, &toMake);
    for (const std::wstring& folder : toMake) {
      if (error != CopyError::kNone) break;
      error = platform_.MakeFolder(folder);
      if (error == CopyError::kNone) made_.push_back(folder);
    }
    if (error == CopyError::kNone) {
      error = StageFile(platform_, file.source, file.destination, file.expected, &move.staged);
    }
    if (error != CopyError::kNone) outcome_.failed.push_back({file.destination, error});
    return error == CopyError::kNone;
  }

  // The old file moved aside, then the staged one renamed in; neither
  // rename replaces anything, so no file the run did not move is ever lost.
  bool Commit(Move& move) {
    const std::wstring& destination = move.file->destination;
    // No old file to move aside (kSourceMissing) is a new file's case.
    CopyError error = MoveAside(move);
    if (error == CopyError::kSourceMissing) error = CopyError::kNone;
    if (error == CopyError::kNone) {
      error = RenameRetrying(platform_, move.staged, destination, false);
      // Nothing of ours is in the destination's place then: put back
      // without replacing whatever may be there.
      if (error != CopyError::kNone && !move.aside.empty()) PutBack(move, false);
    }
    if (error != CopyError::kNone) {
      outcome_.failed.push_back({destination, error});
      return false;
    }
    move.staged.clear();
    move.committed = true;
    return true;
  }

  CopyError MoveAside(Move& move) {
    CopyError error = CopyError::kExists;
    for (int attempt = 0; attempt < 8 && error == CopyError::kExists; ++attempt) {
      move.aside = BesideName(move.file->destination, AsideName);
      error = RenameRetrying(platform_, move.file->destination, move.aside, false);
    }
    if (error != CopyError::kNone) move.aside.clear();
    return error;
  }

  // The old file back in its place (over the new one, if it is there).
  void PutBack(Move& move, bool replace) {
    const CopyError error = RenameRetrying(platform_, move.aside, move.file->destination, replace);
    if (error != CopyError::kNone) {
      outcome_.notRestored.push_back({move.file->destination, error});
    }
    move.aside.clear();
  }

  WholeOutcome Undo() {
    for (auto move = moves_.rbegin(); move != moves_.rend(); ++move) {
      if (!move->committed) continue;
      if (!move->aside.empty()) {
        PutBack(*move, true);
      } else {
        const CopyError error = platform_.RemoveFile(move->file->destination);
        if (error != CopyError::kNone) {
          outcome_.notRestored.push_back({move->file->destination, error});
        }
      }
    }
    for (const Move& move : moves_) {
      if (!move.staged.empty()) platform_.RemoveFile(move.staged);
    }
    // Only empty folders go: one still holding a file not put back stays.
    for (auto folder = made_.rbegin(); folder != made_.rend(); ++folder) {
      platform_.RemoveFolder(*folder);
    }
    SyncFolders();
    return std::move(outcome_);
  }

  // Each folder once.
  void SyncFolders() {
    std::vector<std::wstring> folders;
    for (const Move& move : moves_) {
      const std::wstring folder = FolderOf(move.file->destination);
      bool seen = false;
      for (const std::wstring& known : folders) seen = seen || CompareFolded(known, folder) == 0;
      if (!seen) folders.push_back(folder);
    }
    for (const std::wstring& folder : folders) platform_.SyncFolder(folder);
  }

  Platform& platform_;
  const std::wstring& installFolder_;
  std::vector<Move> moves_;
  std::vector<std::wstring> made_;
  std::uint64_t total_ = 0;
  bool sizesKnown_ = true;
  WholeOutcome outcome_;
};

}  // namespace

std::uint64_t WithMargin(std::uint64_t bytes) {
  const std::uint64_t margin = bytes / 20 > kMinimumMargin ? bytes / 20 : kMinimumMargin;
  return bytes + margin;
}

CopyError CheckWay(Platform& platform, const std::wstring& installFolder,
                   const std::wstring& destination, std::vector<std::wstring>* toMake) {
  const std::wstring folder = FolderOf(destination);
  if (folder.size() <= installFolder.size()) return CopyError::kNone;
  bool missing = false;
  for (std::size_t at = installFolder.size(); at < folder.size();) {
    const std::size_t end = folder.find_first_of(L"\\/", at);
    const std::wstring path = folder.substr(0, end);
    at = end + 1;
    if (!missing) {
      switch (platform.TypeOf(path)) {
        case PathType::kFolder: continue;
        case PathType::kMissing: missing = true; break;
        case PathType::kLink: return CopyError::kOutside;
        case PathType::kFile:
        case PathType::kReadOnlyFile: return CopyError::kExists;
        case PathType::kUnknown: return CopyError::kAccessDenied;
      }
    }
    toMake->push_back(path);
  }
  return CopyError::kNone;
}

CopyError CheckPlace(Platform& platform, const std::wstring& installFolder,
                     const std::wstring& destination, std::vector<std::wstring>* toMake) {
  const CopyError way = CheckWay(platform, installFolder, destination, toMake);
  // A destination whose folder is still to be made has nothing in its place.
  if (way != CopyError::kNone || !toMake->empty()) return way;
  switch (platform.TypeOf(destination)) {
    case PathType::kFolder: return CopyError::kFolderInPlace;
    case PathType::kReadOnlyFile:
    case PathType::kUnknown: return CopyError::kAccessDenied;
    default: break;
  }
  return CopyError::kNone;
}

WholeOutcome LandWhole(Platform& platform, const std::wstring& installFolder,
                       const std::vector<WholeFile>& files) {
  return Landing(platform, installFolder, files).Run();
}

}  // namespace updater
