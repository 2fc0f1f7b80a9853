// Finding the installed product in the registry: its version and install
// folder.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "update/context.h"

namespace updater {

// What the look-up of the installed product read, for those who explain it.
struct LookupTrace {
  bool profileFound = false;
  std::string registryKey;
  std::wstring folderValueName;
  std::int32_t openStatus = kErrorFileNotFound;
  struct Read {
    std::int32_t status = kErrorFileNotFound;
    std::uint32_t type = 0;  // as the registry gave it, 0 when not read
    RegistryValue value;     // the slot after the read
  };
  Read version;
  Read folder;
  std::wstring decimalSeparator;  // the one the installed version was written with
};

// Reads the value `name` of `key` into `slot` with the two-call read (size
// first, then data). Returns 0 on success, the Windows error of the call that
// failed, or -1 for a type it does not read (neither REG_SZ nor REG_DWORD).
// The slot is changed only as each outcome allows: a failed size query, an
// unread type, a failed integer read and an empty string leave it as it was;
// a failed string read empties it. A string whose ANSI form lost characters
// (the code page lacks them) is taken as the registry holds it.
// `type`, when given, receives the type the size query found (0 when it
// failed).
std::int32_t ReadRegistryValue(Platform& platform, RegistryKey key, const std::wstring& name,
                               RegistryValue* slot, std::uint32_t* type = nullptr);

// The numeric value of the leading number of `text`, read as the installed
// version is read: blanks anywhere ignored, "." as the decimal point, an
// optional exponent (E or D), &H and &O integers; 0 without a number.
double LeadingNumber(const std::wstring& text);

// The installed version made numeric and turned back into text in the
// user's number format: "5.20" gives "5.2" (or "5,2" where the decimal
// separator is a comma), "7 beta" gives "7", text without a number gives "0".
std::wstring NormalizeInstalledVersion(const std::wstring& text,
                                       const std::wstring& decimalSeparator);

// Fills installedVersion, installFolder (ending in "\"), lockPath and
// lockName from the product's registry key. False when no product is
// installed: the key cannot be opened, or the install folder is not read as
// text that names an absolute folder; copying into a made-up folder, or one
// relative to wherever the updater runs, would then damage the disk.
// `trace`, when given, receives what each step read.
bool LookupInstalledProduct(Platform& platform, UpdateContext& context,
                            LookupTrace* trace = nullptr);

}  // namespace updater
