// How an update lands, told for people: whole or not at all, or file by
// file.
#pragma once

#include <string>

namespace updater::tool {

// "whole or not at all (...)" or "file by file (...)", after "Lands: ".
std::wstring LandsText(bool whole);

}  // namespace updater::tool
