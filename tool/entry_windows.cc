// updater-tool's entry on Windows: the arguments come wide.
#include <string>
#include <vector>

#include "system.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return updater::tool::RunTool(arguments);
}
