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

// Why a path holds no manifest the updater would read ("it is hidden").
std::wstring WhyNotFound(PathKind kind);

}  // namespace updater::tool
