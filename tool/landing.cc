// How an update lands, and what would keep it from landing now.
#include "landing.h"

#include <memory>

#include "explain_wording.h"
#include "update/listing.h"
#include "update/whole.h"

namespace updater::tool {
namespace {

// Whole megabytes as the updater's closing box gives them: the needed
// rounded up, the free rounded down.
std::wstring MegabytesUp(std::uint64_t bytes) {
  return std::to_wstring((bytes >> 20) + ((bytes & 0xFFFFF) != 0)) + L" MB";
}
std::wstring MegabytesDown(std::uint64_t bytes) { return std::to_wstring(bytes >> 20) + L" MB"; }

void WriteBytes(JsonWriter& json, const char* name, bool known, std::uint64_t bytes) {
  json.Key(name);
  if (known) {
    json.Number(static_cast<std::int64_t>(bytes));
  } else {
    json.Null();
  }
}

}  // namespace

std::wstring LandsText(bool whole) {
  if (whole) {
    return L"whole or not at all (it declares \"" + std::wstring(kWholeDeclaration) +
           L"\" after \"slut\"): every file is staged beside its destination first, the folders "
           L"its destinations need are made, and if one file fails none is installed";
  }
  return L"file by file (no \"" + std::wstring(kWholeDeclaration) +
         L"\" after \"slut\", as in a hand-written manifest): each entry is copied on its own, "
         L"and copies already made are never undone";
}

DestinationNow LookAtDestination(Platform& platform, Inspection& inspection,
                                 const std::wstring& installFolder, const std::wstring& destination,
                                 bool whole) {
  DestinationNow now;
  std::vector<std::wstring> toMake;
  if (whole) now.error = CheckPlace(platform, installFolder, destination, &toMake);
  if (now.error == CopyError::kNone) {
    // A folder to be made is new beside what exists: whether anything can
    // be made there is what a probe of it tells.
    now.error = inspection.ProbeDestination(toMake.empty() ? destination : toMake.front());
  }
  now.text = now.error == CopyError::kNone && !toMake.empty()
                 ? L"can be written now: its folder does not exist yet, and the update makes it"
                 : ProbeText(now.error);
  return now;
}

Room LookAtRoom(Platform& platform, const std::wstring& installFolder,
                const std::vector<std::wstring>& sources) {
  Room room;
  std::uint64_t total = 0;
  for (const std::wstring& source : sources) {
    const std::unique_ptr<InputFile> file = platform.OpenFile(source);
    FileStamp stamp;
    if (file && file->Stamp(&stamp)) {
      total += stamp.size;
    } else {
      room.sizesKnown = false;
    }
  }
  room.needed = WithMargin(total);
  room.freeKnown = platform.FreeSpace(installFolder, &room.available);
  return room;
}

std::wstring RoomText(const Room& room) {
  const std::wstring needed = room.sizesKnown
                                  ? MegabytesUp(room.needed) + L" needed (the files and a margin)"
                                  : L"the size of a payload file cannot be told";
  const std::wstring available =
      room.freeKnown ? MegabytesDown(room.available) + L" free" : L"the free space cannot be told";
  return needed + L", " + available;
}

std::wstring RoomReason(const Room& room) {
  if (room.tooLittle()) {
    return L"there is not room enough for the staged files on the install folder's disk: " +
           RoomText(room) + L" (free space on it)";
  }
  if (!room.known()) {
    return L"whether the staged files fit on the install folder's disk cannot be told: " +
           RoomText(room) + L" (look at it on this PC)";
  }
  return std::wstring();
}

void WriteRoomJson(JsonWriter& json, const Room& room) {
  json.BeginObject();
  WriteBytes(json, "needed", room.sizesKnown, room.needed);
  WriteBytes(json, "available", room.freeKnown, room.available);
  json.EndObject();
}

}  // namespace updater::tool
