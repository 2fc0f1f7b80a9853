// What updater-tool asks of the system beyond the updater's own operations:
// looks that change nothing and hold nothing back, for support staff. Only
// the tool and its tests link a realisation; the updater never sees this.
#pragma once

#include <string>

#include "platform/platform.h"

namespace updater {

// Whether an updater holds the claim that ClaimSingleInstance makes.
enum class ClaimState { kFree, kHeld, kUnknown };

// What a path names, as the presence test sees it.
enum class PathKind {
  kNothing,     // no such file or folder
  kPlainFile,   // a file the presence test finds
  kHiddenFile,  // a hidden or system file, which it passes over
  kFolder,      // a folder, which it passes over
  kUnknown,     // the path cannot be looked at
};

// Whether a program holds a file open.
enum class OpenState { kClosed, kOpen, kUnknown };

class Inspection {
 public:
  virtual ~Inspection() = default;

  // Whether an updater for `productId` holds its claim now, found out
  // without claiming, so that it never keeps an updater from starting;
  // kUnknown when it cannot be told.
  virtual ClaimState QueryClaim(const std::wstring& productId) = 0;

  // What `path` names (its last component matched without regard to letter
  // case, no wildcards); kUnknown when it cannot be looked at.
  virtual PathKind QueryPath(const std::wstring& path) = 0;

  // Whether a copy could replace `destination` now, found out without
  // writing: kNone when nothing is seen in the way; kFolderMissing;
  // kAccessDenied for a read-only file, a folder, or a folder that may not be
  // written; kInUse for a file open in a program; kOther when it cannot be
  // told.
  virtual CopyError ProbeDestination(const std::wstring& destination) = 0;

  // Whether a program (other than this one) holds the existing file `path`
  // open now, as a running product holds its lock file; kUnknown when it
  // cannot be told.
  virtual OpenState QueryOpen(const std::wstring& path) = 0;
};

// The realisation for this system.
Inspection& SystemInspection();

}  // namespace updater
