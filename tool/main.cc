// updater-tool: for the people around the updater. `pack` and `check` serve
// the product's maker, `explain` serves support staff on a customer's PC.
// It shares the updater's code and changes nothing the updater does.
#include <string>
#include <vector>

#include "explain.h"
#include "manifest_check.h"
#include "pack.h"
#include "sealing.h"
#include "system.h"

namespace updater::tool {
namespace {

constexpr int kUsageError = 2;

const wchar_t kUsage[] =
    L"usage: updater-tool COMMAND [ARGUMENTS]\n"
    L"\n"
    L"For the product's maker:\n"
    L"  pack --version VERSION --from TREE --to OUT   build an update from a folder\n"
    L"  check [--installed VERSION]... FOLDER         check an update before shipping it\n"
    L"  seal FOLDER                                   seal an update edited by hand again\n"
    L"For support staff, on the customer's PC:\n"
    L"  explain                                       why the update would come or not\n"
    L"\n"
    L"updater-tool COMMAND --help tells more of each.\n";

const wchar_t kPackHelp[] =
    L"usage: updater-tool pack --version VERSION --from TREE --to OUT\n"
    L"\n"
    L"TREE is laid out as the install folder should look after the update. OUT (absent\n"
    L"or empty) receives the manifest and, flat, the payload, as the updater expects\n"
    L"them in the temporary folder. A file in a sub-folder gets a source name without\n"
    L"a folder part and keeps its sub-folder in its destination. A file the updater\n"
    L"could not install is refused, and then nothing is written: among them the\n"
    L"product's lock file, which must never be installed, and the files of an update\n"
    L"folder (OUT itself must not lie inside TREE). Files Windows and Office make by\n"
    L"themselves (Thumbs.db, desktop.ini, ~$ owner files) are left out and named.\n"
    L"The same TREE gives the same bytes every time. OUT is then checked as `check`\n"
    L"does.\n"
    L"\n"
    L"Exit status: 0 packed and checked clean; 1 a file was refused or the check\n"
    L"reported something; 2 the command line is wrong or a folder cannot be used.\n";

const wchar_t kCheckHelp[] =
    L"usage: updater-tool check [--installed VERSION]... FOLDER\n"
    L"\n"
    L"Reads FOLDER's manifest exactly as the updater does and prints each entry's\n"
    L"fate: copied, passed over or refused, and why. Reports the traps of a\n"
    L"hand-written manifest: an empty line or a field too many that shifts the pairs,\n"
    L"no \"slut\", anything after it, bytes Windows-1252 leaves undefined, UTF-8 without\n"
    L"a byte-order mark, an unquoted comma in the version, a version of more than one\n"
    L"\".\". Every entry the updater would not install is a problem. For each --installed\n"
    L"VERSION (as the registry holds it) it tells whether customers on it are offered\n"
    L"this update, on a point locale and on a comma locale, and reports where that\n"
    L"differs from what the numbers say or between the two locales.\n"
    L"\n"
    L"Exit status: 0 no problem; 1 problems, as many as the last line counts; 2 FOLDER\n"
    L"or its manifest cannot be read, or the command line is wrong.\n";

const wchar_t kSealHelp[] =
    L"usage: updater-tool seal FOLDER\n"
    L"\n"
    L"After FOLDER's manifest or payload was edited by hand, writes its checksum file\n"
    L"anew: a line for the manifest and for every source the updater would copy. Then\n"
    L"checks FOLDER as `check` does.\n"
    L"\n"
    L"Exit status: as check's.\n";

const wchar_t kExplainHelp[] =
    L"usage: updater-tool explain\n"
    L"\n"
    L"Run it on the PC where the updater runs, as the same user. It reads the real\n"
    L"environment, registry and files and prints every step of the updater's\n"
    L"decision with what it found, then the outcome. It writes nothing, shows no box,\n"
    L"never waits and never keeps an updater from running.\n"
    L"\n"
    L"Exit status: 0 the update would be offered now; 1 there is nothing to do (no\n"
    L"manifest, nothing newer, another updater running ...); 3 an update is there but\n"
    L"blocked: its payload is damaged or incomplete; 2 the tool could not run.\n";

bool WantsHelp(const std::vector<std::wstring>& arguments) {
  for (const std::wstring& argument : arguments) {
    if (argument == L"--help" || argument == L"-h") return true;
  }
  return false;
}

int Usage(const wchar_t* text, const std::wstring& complaint) {
  WriteErr(L"updater-tool: " + complaint + L"\n\n" + text);
  return kUsageError;
}

int PackCommand(const std::vector<std::wstring>& arguments) {
  std::wstring version, from, to;
  bool haveVersion = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::wstring& option = arguments[i];
    std::wstring* target = option == L"--version" ? &version
                           : option == L"--from"  ? &from
                           : option == L"--to"    ? &to
                                                  : nullptr;
    if (!target) return Usage(kPackHelp, L"unknown argument " + option);
    if (i + 1 >= arguments.size()) return Usage(kPackHelp, option + L" needs a value");
    *target = arguments[++i];
    if (target == &version) haveVersion = true;
  }
  if (!haveVersion || from.empty() || to.empty()) {
    return Usage(kPackHelp, L"--version, --from and --to are all needed");
  }
  const PackOutcome outcome =
      Pack(SystemPlatform(), SystemInspection(), ThisBuild(), version, from, to);
  (outcome.status == kUsageError ? WriteErr : WriteOut)(outcome.text);
  return outcome.status;
}

int CheckCommand(const std::vector<std::wstring>& arguments) {
  std::vector<std::wstring> installed;
  std::wstring folder;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == L"--installed") {
      if (i + 1 >= arguments.size()) return Usage(kCheckHelp, L"--installed needs a version");
      installed.push_back(arguments[++i]);
    } else if (arguments[i].rfind(L"--", 0) == 0 || !folder.empty()) {
      return Usage(kCheckHelp, L"unknown argument " + arguments[i]);
    } else {
      folder = arguments[i];
    }
  }
  if (folder.empty()) return Usage(kCheckHelp, L"FOLDER is needed");
  const CheckOutcome outcome =
      CheckFolder(SystemPlatform(), SystemInspection(), ThisBuild(), folder, installed);
  (outcome.status == kUsageError ? WriteErr : WriteOut)(outcome.text);
  return outcome.status;
}

int SealCommand(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 2 || arguments[1].rfind(L"--", 0) == 0) {
    return Usage(kSealHelp, L"seal takes one FOLDER");
  }
  const SealOutcome outcome = Seal(SystemPlatform(), SystemInspection(), ThisBuild(), arguments[1]);
  (outcome.status == kUsageError ? WriteErr : WriteOut)(outcome.text);
  return outcome.status;
}

int ExplainCommand(const std::vector<std::wstring>& arguments) {
  if (arguments.size() > 1) return Usage(kExplainHelp, L"explain takes no arguments");
  const ExplainOutcome outcome = Explain(SystemPlatform(), SystemInspection(), ThisBuild());
  WriteOut(outcome.text);
  return outcome.status;
}

}  // namespace

int RunTool(const std::vector<std::wstring>& arguments) {
  if (arguments.empty()) return Usage(kUsage, L"a command is needed");
  const std::wstring& command = arguments[0];
  const struct {
    const wchar_t* name;
    const wchar_t* help;
    int (*run)(const std::vector<std::wstring>&);
  } commands[] = {
      {L"pack", kPackHelp, PackCommand},
      {L"check", kCheckHelp, CheckCommand},
      {L"seal", kSealHelp, SealCommand},
      {L"explain", kExplainHelp, ExplainCommand},
  };
  for (const auto& c : commands) {
    if (command != c.name) continue;
    if (WantsHelp(arguments)) {
      WriteOut(c.help);
      return 0;
    }
    return c.run(arguments);
  }
  if (command == L"--help" || command == L"-h" || command == L"help") {
    WriteOut(kUsage);
    return 0;
  }
  return Usage(kUsage, L"unknown command " + command);
}

}  // namespace updater::tool
