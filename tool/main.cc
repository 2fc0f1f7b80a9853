// updater-tool: for the people around the updater. `pack` and `check` serve
// the product's maker, `explain` serves support staff on a customer's PC.
// It shares the updater's code and changes nothing the updater does.
#include <string>
#include <vector>

#include "explain.h"
#include "identity.h"
#include "keygen.h"
#include "keys.h"
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
    L"  keygen --out DIR [--name NAME]                make a signing key pair\n"
    L"  pack --version V --from TREE --to OUT [--sign KEY]   build an update\n"
    L"  check [--installed V]... [--key PUB]... [--json] FOLDER   check it before shipping\n"
    L"  seal [--sign KEY | --drop-signature] FOLDER   seal an update edited by hand again\n"
    L"For support staff, on the customer's PC:\n"
    L"  explain [--key PUB]... [--json]               why the update would come or not\n"
    L"  --version                                     the build this tool speaks for\n"
    L"\n"
    L"updater-tool COMMAND --help tells more of each. Use the tool of the same build as\n"
    L"the updater it is about: the product and the signing keys change the answers.\n";

const wchar_t kPackHelp[] =
    L"usage: updater-tool pack --version VERSION --from TREE --to OUT [--sign KEY]\n"
    L"\n"
    L"TREE is laid out as the install folder should look after the update. OUT (absent\n"
    L"or empty) receives the manifest and, flat, the payload, as the updater expects\n"
    L"them in the temporary folder. A file in a sub-folder gets a source name without\n"
    L"a folder part and keeps its sub-folder in its destination. A file the updater\n"
    L"could not install is refused, and then nothing is written: among them the\n"
    L"product's lock file, which must never be installed, and the files of an update\n"
    L"folder (OUT itself must not lie inside TREE). Files Windows and Office make by\n"
    L"themselves (Thumbs.db, desktop.ini, ~$ owner files) are left out and named.\n"
    L"The same TREE gives the same bytes every time; the manifest says after \"slut\"\n"
    L"that the update lands whole or not at all (making the folders it needs) and that\n"
    L"it comes with a checksum file. With --sign KEY (a private key in PEM, as\n"
    L"keygen or openssl writes it) the checksum file is signed too, and the manifest\n"
    L"says so. OUT is then checked as `check` does. Each payload file keeps its tree\n"
    L"file's modification time, which the updater installs with it. A signed build's\n"
    L"tool without --sign writes the update unsigned and names the two ways to sign it\n"
    L"(seal --sign, or openssl); that alone is no failure.\n"
    L"\n"
    L"Exit status: 0 packed and checked clean (a signed build's update may still want\n"
    L"its signature); 1 a file was refused or the check reported something; 2 the\n"
    L"command line is wrong or a folder cannot be used.\n";

const wchar_t kCheckHelp[] =
    L"usage: updater-tool check [--installed VERSION]... [--key PUB]... [--json] FOLDER\n"
    L"\n"
    L"Reads FOLDER's manifest exactly as the updater does and prints each entry's\n"
    L"fate: copied, passed over or refused, and why, and whether the update lands\n"
    L"whole or not at all or file by file. Reports the traps of a\n"
    L"hand-written manifest: an empty line or a field too many that shifts the pairs,\n"
    L"no \"slut\", anything after it, bytes Windows-1252 leaves undefined, UTF-8 without\n"
    L"a byte-order mark, an unquoted comma in the version, a version of more than one\n"
    L"\".\". Every entry the updater would not install is a problem. For each --installed\n"
    L"VERSION (as the registry holds it) it tells whether customers on it are offered\n"
    L"this update, on a point locale and on a comma locale, and reports where that\n"
    L"differs from what the numbers say or between the two locales. The signature is\n"
    L"checked with this build's keys, or with the public keys given by --key. With\n"
    L"--json it prints the same facts as one JSON document (see the README).\n"
    L"\n"
    L"Exit status: 0 no problem; 1 problems, as many as the last line counts; 2 FOLDER\n"
    L"or its manifest cannot be read, or the command line is wrong.\n";

const wchar_t kSealHelp[] =
    L"usage: updater-tool seal [--sign KEY | --drop-signature] FOLDER\n"
    L"\n"
    L"After FOLDER's manifest or payload was edited by hand, writes its checksum file\n"
    L"anew: a line for the manifest and for every source the updater would copy; with\n"
    L"--sign KEY, signs it again. Then checks FOLDER as `check` does. A FOLDER that\n"
    L"holds a signature is sealed only with --sign KEY, or with --drop-signature, which\n"
    L"removes the signature the new checksum file would no longer match; otherwise\n"
    L"nothing is changed.\n"
    L"\n"
    L"Exit status: as check's; 1 also when FOLDER holds a signature and neither option\n"
    L"is given.\n";

const wchar_t kKeygenHelp[] =
    L"usage: updater-tool keygen --out DIR [--name NAME]\n"
    L"\n"
    L"Makes an ECDSA P-256 key pair with the system's cryptography and writes it into\n"
    L"DIR (made if needed): NAME.pem, the private key (PKCS#8, readable by you alone\n"
    L"where the system allows), and NAME.pub.pem, its public half, for a signed build\n"
    L"(UPDATER_SIGNING_KEYS); NAME is maker-key unless given. Both are the PEM files\n"
    L"openssl reads. Prints the key's fingerprint, by which every later message names\n"
    L"it. An existing key is never overwritten. Keep the private key off the build\n"
    L"machine.\n"
    L"\n"
    L"Exit status: 0 written; 1 not; 2 the command line is wrong.\n";

const wchar_t kExplainHelp[] =
    L"usage: updater-tool explain [--key PUB]... [--json]\n"
    L"\n"
    L"Run it on the PC where the updater runs, as the same user, with the tool of the\n"
    L"same build as the updater. It reads the real environment, registry and files and\n"
    L"prints every step of the updater's decision with what it found, then the\n"
    L"outcome with its first reason. It writes nothing, shows no box, never waits and\n"
    L"never keeps an updater from running. With --json it prints the same facts as\n"
    L"one JSON document (see the README).\n"
    L"\n"
    L"Exit status:\n"
    L"  0  the update would be offered now, and every entry installed\n"
    L"  1  nothing to do (no manifest, nothing newer, another updater running ...)\n"
    L"  2  the tool could not run\n"
    L"  3  an update is there but blocked: its list does not end with \"slut\", its\n"
    L"     payload damaged or incomplete, or its signature missing, unreadable or not\n"
    L"     by this build's keys (or a key of this build cannot be used)\n"
    L"  4  it would be offered, but would not install cleanly now: entries that would\n"
    L"     fail or be passed over, no install folder, a lock file left over\n";

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

// The key pair in the file `path`, for --sign; false, with the complaint,
// when it cannot be used.
bool LoadMakerKey(const std::wstring& path, MakerKey* key, std::wstring* complaint) {
  const std::optional<std::string> text = ReadFileBytes(path);
  std::wstring why = L"it cannot be read";
  const std::optional<MakerKey> parsed = text ? ParsePrivateKeyPem(*text, &why) : std::nullopt;
  if (!parsed) {
    const std::wstring checksumFile = ChecksumFileName(ThisBuild().productId);
    *complaint = L"the key " + path + L" cannot sign: " + why +
                 L".\nA key updater-tool cannot read (one with a passphrase, on a token) signs "
                 L"with openssl instead: pack or seal without --sign, then\n  openssl dgst "
                 L"-sha256 -sign " +
                 path + L" -out FOLDER/" + checksumFile + L".sig FOLDER/" + checksumFile;
    return false;
  }
  // Before anything is written: a key whose halves do not belong together
  // is refused.
  if (!CheckKeyPair(SystemPlatform(), SystemSigning(), *parsed, &why)) {
    *complaint = L"the key " + path + L" cannot sign: " + why;
    return false;
  }
  *key = *parsed;
  return true;
}

// The keys of --key options, which replace this build's; false, with the
// complaint, when one cannot be used.
bool LoadPublicKeys(const std::vector<std::wstring>& paths, BuildConstants* build,
                    std::wstring* complaint) {
  if (paths.empty()) return true;
  build->signingKeys.clear();
  for (const std::wstring& path : paths) {
    std::wstring why;
    const std::optional<PublicKey> key = ReadPublicKeyFile(path, &why);
    if (!key) {
      *complaint = L"the key " + path + L" cannot be used: " + why;
      return false;
    }
    build->signingKeys.push_back(*key);
  }
  return true;
}

int PackCommand(const std::vector<std::wstring>& arguments) {
  std::wstring version, from, to, sign;
  bool haveVersion = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::wstring& option = arguments[i];
    std::wstring* target = option == L"--version" ? &version
                           : option == L"--from"  ? &from
                           : option == L"--to"    ? &to
                           : option == L"--sign"  ? &sign
                                                  : nullptr;
    if (!target) return Usage(kPackHelp, L"unknown argument " + option);
    if (i + 1 >= arguments.size()) return Usage(kPackHelp, option + L" needs a value");
    *target = arguments[++i];
    if (target == &version) haveVersion = true;
  }
  if (!haveVersion || from.empty() || to.empty()) {
    return Usage(kPackHelp, L"--version, --from and --to are all needed");
  }
  MakerKey key;
  std::wstring complaint;
  if (!sign.empty() && !LoadMakerKey(sign, &key, &complaint)) return Usage(kPackHelp, complaint);
  const PackOutcome outcome = Pack(SystemPlatform(), SystemInspection(), ThisBuild(), version, from,
                                   to, sign.empty() ? nullptr : &key);
  (outcome.status == kUsageError ? WriteErr : WriteOut)(outcome.text);
  return outcome.status;
}

int CheckCommand(const std::vector<std::wstring>& arguments) {
  std::vector<std::wstring> installed, keys;
  std::wstring folder;
  bool asJson = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == L"--json") {
      asJson = true;
    } else if (arguments[i] == L"--installed" || arguments[i] == L"--key") {
      if (i + 1 >= arguments.size()) return Usage(kCheckHelp, arguments[i] + L" needs a value");
      std::vector<std::wstring>& values = arguments[i] == L"--key" ? keys : installed;
      values.push_back(arguments[++i]);
    } else if (arguments[i].rfind(L"--", 0) == 0 || !folder.empty()) {
      return Usage(kCheckHelp, L"unknown argument " + arguments[i]);
    } else {
      folder = arguments[i];
    }
  }
  if (folder.empty()) return Usage(kCheckHelp, L"FOLDER is needed");
  BuildConstants build = ThisBuild();
  std::wstring complaint;
  if (!LoadPublicKeys(keys, &build, &complaint)) return Usage(kCheckHelp, complaint);
  const CheckOutcome outcome =
      CheckFolder(SystemPlatform(), SystemInspection(), build, folder, installed, !keys.empty());
  if (asJson) {
    WriteOut(outcome.json);
  } else {
    (outcome.status == kUsageError ? WriteErr : WriteOut)(outcome.text);
  }
  return outcome.status;
}

int KeygenCommand(const std::vector<std::wstring>& arguments) {
  std::wstring out, name = L"maker-key";
  bool haveOut = false;
  // Options come in pairs: the option, then its value.
  for (std::size_t i = 1; i < arguments.size(); i += 2) {
    const bool known = arguments[i] == L"--out" || arguments[i] == L"--name";
    if (!known || i + 1 >= arguments.size()) {
      return Usage(kKeygenHelp, L"keygen takes --out DIR and, if wanted, --name NAME");
    }
    (arguments[i] == L"--out" ? out : name) = arguments[i + 1];
    haveOut = haveOut || arguments[i] == L"--out";
  }
  if (!haveOut || out.empty()) return Usage(kKeygenHelp, L"keygen takes --out DIR");
  if (name.empty() || name.find_first_of(L"/\\:") != std::wstring::npos || name[0] == L'.') {
    return Usage(kKeygenHelp, L"NAME is a file name without a folder part: " + name);
  }
  const KeygenOutcome outcome = Keygen(SystemSigning(), out, name);
  (outcome.status == 0 ? WriteOut : WriteErr)(outcome.text);
  return outcome.status;
}

int SealCommand(const std::vector<std::wstring>& arguments) {
  std::wstring folder, sign;
  bool dropSignature = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == L"--sign" && i + 1 < arguments.size()) {
      sign = arguments[++i];
    } else if (arguments[i] == L"--drop-signature") {
      dropSignature = true;
    } else if (arguments[i].rfind(L"--", 0) == 0 || !folder.empty()) {
      return Usage(kSealHelp, L"unknown argument " + arguments[i]);
    } else {
      folder = arguments[i];
    }
  }
  if (folder.empty()) return Usage(kSealHelp, L"FOLDER is needed");
  if (dropSignature && !sign.empty()) {
    return Usage(kSealHelp, L"--sign and --drop-signature exclude each other");
  }
  MakerKey key;
  std::wstring complaint;
  if (!sign.empty() && !LoadMakerKey(sign, &key, &complaint)) return Usage(kSealHelp, complaint);
  const SealOutcome outcome = Seal(SystemPlatform(), SystemInspection(), ThisBuild(), folder,
                                   sign.empty() ? nullptr : &key, dropSignature);
  (outcome.status == kUsageError ? WriteErr : WriteOut)(outcome.text);
  return outcome.status;
}

int ExplainCommand(const std::vector<std::wstring>& arguments) {
  std::vector<std::wstring> keys;
  bool asJson = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == L"--json") {
      asJson = true;
      continue;
    }
    if (arguments[i] != L"--key" || i + 1 >= arguments.size()) {
      return Usage(kExplainHelp, L"unknown argument " + arguments[i]);
    }
    keys.push_back(arguments[++i]);
  }
  BuildConstants build = ThisBuild();
  std::wstring complaint;
  if (!LoadPublicKeys(keys, &build, &complaint)) return Usage(kExplainHelp, complaint);
  const ExplainOutcome outcome =
      Explain(SystemPlatform(), SystemInspection(), build, !keys.empty());
  WriteOut(asJson ? outcome.json : outcome.text);
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
      {L"pack", kPackHelp, PackCommand},          {L"check", kCheckHelp, CheckCommand},
      {L"seal", kSealHelp, SealCommand},          {L"keygen", kKeygenHelp, KeygenCommand},
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
  if (command == L"--version") {
    WriteOut(VersionText(SystemPlatform(), ThisBuild()));
    return 0;
  }
  if (command == L"--help" || command == L"-h" || command == L"help") {
    WriteOut(kUsage);
    return 0;
  }
  return Usage(kUsage, L"unknown command " + command);
}

}  // namespace updater::tool
