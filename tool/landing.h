// How an update lands, told for people: whole or not at all, or file by
// file; and, for explain, what would keep it from landing now, found
// without writing through the core's own checks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "json.h"
#include "platform/inspection.h"
#include "platform/platform.h"

namespace updater::tool {

// "whole or not at all (...)" or "file by file (...)", after "Lands: ".
std::wstring LandsText(bool whole);

// A destination as it is now: what would stop the file landing there
// (kNone: nothing; kOther: it cannot be told), in words.
struct DestinationNow {
  CopyError error = CopyError::kNone;
  std::wstring text;  // "can be written now", "cannot be written now: ..."
};

// For an update that lands `whole`: the core's check of the way to
// `destination` and its place, then whether a program holds the file or,
// for a folder the update would make, whether it can be made there. For
// one applied file by file: whether a copy could replace it now.
DestinationNow LookAtDestination(Platform& platform, Inspection& inspection,
                                 const std::wstring& installFolder, const std::wstring& destination,
                                 bool whole);

// The room the staged files need on the disk of the install folder, as the
// updater reckons it before it stages anything.
struct Room {
  bool sizesKnown = true;  // every source's size could be told
  bool freeKnown = false;  // the free space could be told
  std::uint64_t needed = 0;
  std::uint64_t available = 0;
  bool known() const { return sizesKnown && freeKnown; }
  bool tooLittle() const { return known() && needed > available; }
};

// The room for staged copies of `sources` (full paths) in `installFolder`.
Room LookAtRoom(Platform& platform, const std::wstring& installFolder,
                const std::vector<std::wstring>& sources);

// "17 MB needed (the files and a margin), 120 MB free", or what cannot be
// told.
std::wstring RoomText(const Room& room);

// Why the room keeps the update from landing cleanly: too little, or it
// cannot be told; empty when the files fit.
std::wstring RoomReason(const Room& room);

// {"needed": bytes or null, "available": bytes or null}.
void WriteRoomJson(JsonWriter& json, const Room& room);

}  // namespace updater::tool
