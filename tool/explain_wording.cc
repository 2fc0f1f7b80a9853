// What explain finds, told in words.
#include "explain_wording.h"

#include "wording.h"

namespace updater::tool {

std::wstring TypeName(std::uint32_t type) {
  switch (type) {
    case 1: return L"REG_SZ";
    case 2: return L"REG_EXPAND_SZ";
    case 3: return L"REG_BINARY";
    case 4: return L"REG_DWORD";
    case 7: return L"REG_MULTI_SZ";
    case 11: return L"REG_QWORD";
    default: return L"type " + std::to_wstring(type);
  }
}

std::wstring ValueText(const LookupTrace::Read& read) {
  if (read.status == kErrorFileNotFound) return L"missing";
  if (read.status == -1) return TypeName(read.type) + L", a type the updater does not read";
  if (read.status != kErrorSuccess) {
    return TypeName(read.type) + L", cannot be read (error " + std::to_wstring(read.status) + L")";
  }
  if (read.type == kRegDword) return L"REG_DWORD " + read.value.AsText();
  if (read.value.kind == RegistryValue::Kind::kEmpty) return TypeName(read.type) + L" of size 0";
  return TypeName(read.type) + L" " + QuotedText(read.value.AsText());
}

std::wstring LockText(LockState lock, OpenState held) {
  if (lock == LockState::kAbsent) return L"absent now";
  if (lock == LockState::kUnknown) return L"cannot be tested";
  switch (held) {
    case OpenState::kOpen: return L"present now, held open by a program: the product is running";
    case OpenState::kClosed:
      return L"present now, but no program holds it open: left over, the product is closed";
    case OpenState::kUnknown: break;
  }
  return L"present now: the product is running, or the file was left over";
}

// The lock file's state in one word, for --json.
std::wstring LockWord(LockState lock, OpenState held) {
  if (lock == LockState::kAbsent) return L"absent";
  if (lock == LockState::kUnknown) return L"unknown";
  return held == OpenState::kOpen     ? L"held"
         : held == OpenState::kClosed ? L"left over"
                                      : L"present";
}

// What to do about a destination that cannot be written now.
std::wstring ProbeAdvice(CopyError error) {
  switch (error) {
    case CopyError::kFolderMissing:
      return L"the updater makes no folders: create it in the install folder";
    case CopyError::kAccessDenied: return L"make it writable for the user who runs the updater";
    case CopyError::kInUse: return L"close the program that has it open";
    case CopyError::kOutside:
      return L"the updater never writes through a link: make it a folder of the install folder";
    case CopyError::kExists: return L"move the file away, so that the update can make the folder";
    case CopyError::kFolderInPlace: return L"move the folder away";
    default: return L"look at it on this PC";
  }
}

std::wstring ProbeText(CopyError error) {
  switch (error) {
    case CopyError::kNone: return L"can be written now";
    case CopyError::kFolderMissing: return L"cannot be written now: its folder does not exist";
    case CopyError::kAccessDenied: return L"cannot be written now: read-only or no access";
    case CopyError::kInUse: return L"cannot be written now: a program has it open";
    case CopyError::kInvalidName: return L"cannot be written: not a valid name";
    case CopyError::kOutside:
      return L"cannot be written now: a folder on its way is a link, which may lead out of the "
             L"install folder";
    case CopyError::kExists: return L"cannot be written now: a file stands where a folder must be";
    case CopyError::kFolderInPlace: return L"cannot be written now: a folder has its name";
    default: return L"whether it can be written cannot be told";
  }
}

}  // namespace updater::tool
