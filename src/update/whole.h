// An update that lands whole or not at all: every file is staged beside its
// destination first, then the destinations are replaced in list order with
// their old files moved aside, and at the end the old files go; when any
// step fails, every destination gets its old file back and what the run
// made is removed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace updater {

// One file of an update that lands whole.
struct WholeFile {
  std::wstring source;       // its full path in the temporary folder
  std::wstring destination;  // its full path inside the install folder
  const Sha256* expected = nullptr;
};

// A file and why it is named in the closing box.
struct FileFailure {
  std::wstring destination;
  CopyError error;
};

struct WholeOutcome {
  bool landed = false;
  // Why the update did not land: the files that could not be updated.
  std::vector<FileFailure> failed;
  // Files the run changed and could not put back: never "nothing changed".
  std::vector<FileFailure> notRestored;
  // The staged files would not fit: the bytes needed (with the margin) and
  // the bytes free.
  bool noSpace = false;
  std::uint64_t needed = 0;
  std::uint64_t available = 0;
};

// The room staged files of `bytes` in all need: the files themselves and a
// margin for the file system and for whatever else writes meanwhile.
std::uint64_t WithMargin(std::uint64_t bytes);

// Whether the way to `destination` (inside `installFolder`, which ends with
// a separator) can be taken: kNone, with the folders that must be made, in
// order, added to `toMake`; kOutside when a folder on the way is a link,
// which may lead out of the install folder; kExists when a file stands
// where a folder must be; kAccessDenied when a folder cannot be looked at.
CopyError CheckWay(Platform& platform, const std::wstring& installFolder,
                   const std::wstring& destination, std::vector<std::wstring>* toMake);

// Whether `destination` can take a file of an update that lands whole, as
// the check before anything is written finds it: CheckWay's answer (the
// folders to make added to `toMake`), and where its folder is there,
// kFolderInPlace for a folder of its name and kAccessDenied for a read-only
// file or a path that cannot be looked at. Reads only.
CopyError CheckPlace(Platform& platform, const std::wstring& installFolder,
                     const std::wstring& destination, std::vector<std::wstring>* toMake);

// Lands `files` in `installFolder` whole, in list order, or leaves every
// destination as it was.
WholeOutcome LandWhole(Platform& platform, const std::wstring& installFolder,
                       const std::vector<WholeFile>& files);

}  // namespace updater
