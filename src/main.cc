// The updater's entry: command-line arguments are ignored, and every run ends
// inside RunUpdate through the platform.
#include "platform/platform.h"
#include "update/update.h"

int main() { updater::RunUpdate(updater::SystemPlatform(), updater::ThisBuild()); }
