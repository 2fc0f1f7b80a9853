// How the tool writes what it found for people: text shown so that no
// control character can break a line or hide, counts, and why a path holds
// no file the updater would read.
#pragma once

#include <cstddef>
#include <string>

#include "platform/inspection.h"

namespace updater::tool {

// "1 entry", "3 entries".
std::wstring Count(std::size_t n, const wchar_t* one, const wchar_t* many);

// `text` in double quotes, a control character shown as its number ("<81>")
// so that it can neither break the output nor hide.
std::wstring QuotedText(const std::wstring& text);

// `text` with each control character shown as its number, for paths and
// other text printed without quotes.
std::wstring ShownText(const std::wstring& text);

// A path as shown to people. On POSIX, where "\" and "/" both separate, a
// path that holds a "/" is shown with "/" alone, so that no path mixes the
// two; on Windows, and for a path of "\" alone, it is shown as it is.
std::wstring ShownPath(const std::wstring& path);
// The same with control characters as they are, for --json.
std::wstring TypedPath(const std::wstring& path);

// `folder` and `name` joined by the separator `folder` was typed with
// ("/" or "\"; where it has neither, the system's own).
std::wstring JoinAsTyped(const std::wstring& folder, const std::wstring& name);

// Why a path holds no manifest the updater would read ("it is hidden").
std::wstring WhyNotFound(PathKind kind);

}  // namespace updater::tool
