// The update driver: decides whether the update in the temporary folder
// applies to the installed product, asks the user, waits for the product to
// close, copies the payload and reports what it did. The chief header: it
// gives every part of the driver.
#pragma once

#include "update/checksums.h"
#include "update/context.h"
#include "update/copy.h"
#include "update/decision.h"
#include "update/entries.h"
#include "update/listing.h"
#include "update/products.h"
#include "update/registry_lookup.h"
#include "update/summary.h"

namespace updater {

// Runs the whole update for the product `build` names and ends the program
// through the platform; it never returns.
[[noreturn]] void RunUpdate(Platform& platform, const BuildConstants& build);

}  // namespace updater
