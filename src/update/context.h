// The working record of one run, and the registry value slot it reads into.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace updater {

// A registry value as read: nothing yet, text, or a 32-bit integer.
struct RegistryValue {
  enum class Kind { kEmpty, kText, kInteger };
  Kind kind = Kind::kEmpty;
  std::wstring text;
  std::int32_t integer = 0;

  // "" when empty, the text itself, or the integer's decimal digits.
  std::wstring AsText() const;
};

// The working record of one run.
struct UpdateContext {
  std::wstring productId;
  std::wstring displayName;
  std::wstring lineBreak;
  std::wstring tempFolder;
  std::wstring offeredVersion;
  std::wstring installedVersion;
  std::wstring registryVersion;  // the registry's "Version" as text, as read
  std::wstring installFolder;
  std::wstring lockPath;
  std::wstring lockName;
  std::wstring summary;
  RegistryKey registryKey = 0;
  RegistryValue valueSlot;
};

}  // namespace updater
