// updater-tool's entry on POSIX: the arguments are UTF-8.
#include <string>
#include <vector>

#include "platform/text.h"
#include "system.h"

int main(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(updater::DecodeUtf8(argv[i]));
  return updater::tool::RunTool(arguments);
}
