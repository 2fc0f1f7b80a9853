// A registry held in memory, read from a registry export in the .reg text
// format that regedit writes and imports. The POSIX build reads
// HKEY_CURRENT_USER from such a file, so that the same data serves both
// builds.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace updater {

// One value as the registry stores it: string types (REG_SZ 1,
// REG_EXPAND_SZ 2, REG_MULTI_SZ 7) hold UTF-16LE bytes with their NULs, as
// on Windows; REG_DWORD holds 4 bytes little-endian; others the raw bytes.
struct RegFileValue {
  std::uint32_t type = 0;
  std::vector<unsigned char> data;
};

// Orders names the way the registry compares them: without regard to case.
struct RegNameLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const;
};

struct RegFileKey {
  // Value names; the default value ("@") has the empty name.
  std::map<std::wstring, RegFileValue, RegNameLess> values;
};

// The keys of HKEY_CURRENT_USER found in the file, by their path below the
// root ("Software\Zorbe IT Service\Sylkum"). Keys of other roots are left
// out.
struct RegFile {
  std::map<std::wstring, RegFileKey, RegNameLess> keys;

  // The key at `path` below HKEY_CURRENT_USER, or null when absent.
  const RegFileKey* FindKey(const std::wstring& path) const;
};

// Parses the bytes of a .reg file: "Windows Registry Editor Version 5.00"
// (UTF-16LE with a byte-order mark, or UTF-8 with or without one) or
// "REGEDIT4" (Windows-1252). No value when the file is malformed in any way.
std::optional<RegFile> ParseRegFile(const std::string& bytes);

}  // namespace updater
