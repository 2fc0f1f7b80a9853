// The real Linux updater, run as a process: on a pseudo-terminal where it
// shows its boxes, or with no terminal at all. Covers what only a whole
// process shows: one updater at a time, a manifest that is a folder, and a
// manifest of gigabytes read without growing.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "update/signatures.h"
#include "update/staged_names.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The program under test: given by the build, else the updater beside the
// test's own folder (build/<preset>/updater next to build/<preset>/tests/).
std::string ProgramPath() {
#ifdef UPDATER_PROGRAM
  return UPDATER_PROGRAM;
#else
  return (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "updater").string();
#endif
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// One run of the updater. Its output (the terminal's, or stdout and stderr
// when it has no terminal) is collected while the test waits on it.
class Updater {
 public:
  enum class Terminal { kPty, kNone };

  // `user`, when not 0, is the user the program runs as (the test then
  // runs as root).
  Updater(Terminal terminal, const std::vector<std::string>& environment,
          const std::string& program = ProgramPath(), uid_t user = 0) {
    std::vector<char*> envp;
    for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    start_ = Clock::now();
    if (terminal == Terminal::kPty) {
      pid_ = ::forkpty(&output_, nullptr, nullptr, nullptr);
      if (pid_ == 0) {
        if (user != 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 || ::setuid(user) != 0)) {
          ::_exit(126);
        }
        ::execve(argv[0], argv, envp.data());
        ::_exit(127);
      }
    } else {
      int pipeFds[2];
      if (::pipe(pipeFds) != 0) return;
      pid_ = ::fork();
      if (pid_ == 0) {
        ::setsid();  // no controlling terminal: /dev/tty cannot be opened
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        ::execve(argv[0], argv, envp.data());
        ::_exit(127);
      }
      ::close(pipeFds[1]);
      output_ = pipeFds[0];
    }
  }

  ~Updater() {
    if (pid_ > 0 && running_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) ::close(output_);
  }

  bool started() const { return pid_ > 0; }

  // Waits until `text` has been printed; false after `seconds` without it.
  bool WaitForOutput(const std::string& text, double seconds) {
    const Clock::time_point start = Clock::now();
    while (printed.find(text) == std::string::npos) {
      if (SecondsSince(start) > seconds || !Drain(50)) return false;
    }
    return true;
  }

  // Ends the program at once, as a kill or a power cut would.
  void Kill() {
    if (pid_ <= 0 || !running_) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    running_ = false;
  }

  void Type(const std::string& keys) {
    ASSERT_EQ(::write(output_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Waits up to `seconds` for the program to end; false when it is still
  // running (it is then killed when the test ends).
  bool WaitForEnd(double seconds) {
    const Clock::time_point start = Clock::now();
    while (running_) {
      const pid_t done = ::wait4(pid_, &status, WNOHANG, &usage);
      if (done == pid_) {
        running_ = false;
        seconds_ = SecondsSince(start_);
        break;
      }
      if (SecondsSince(start) > seconds) return false;
      Drain(20);
    }
    while (Drain(0)) {
    }
    return true;
  }

  bool EndedNormally() const { return !running_ && WIFEXITED(status) && WEXITSTATUS(status) == 0; }
  double Seconds() const { return seconds_; }
  long PeakRssKiB() const { return usage.ru_maxrss; }

  std::string printed;
  int status = 0;
  rusage usage{};

 private:
  // Takes what is waiting to be read, waiting up to `ms` for it; false once
  // the other end is closed.
  bool Drain(int ms) {
    pollfd fd{output_, POLLIN, 0};
    if (::poll(&fd, 1, ms) <= 0) return true;
    char buffer[4096];
    const ssize_t n = ::read(output_, buffer, sizeof buffer);
    if (n <= 0) {
      // A terminal's other end reports EIO once the program has ended.
      if (fd.revents & (POLLHUP | POLLERR))
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      return false;
    }
    printed.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int output_ = -1;
  bool running_ = true;
  Clock::time_point start_;
  double seconds_ = 0;
};

constexpr char kPrompt[] = "[Ja / Nej] (j/n): ";

// A temporary folder with the manifest, an install folder and a registry
// export naming it at version 5.2; the lock of "one updater at a time" lives
// here too, so that no other test or real updater interferes.
class UpdaterProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/updater-process-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "temp");
    fs::create_directories(root_ / "install");
    fs::create_directories(root_ / "run");
    ::chmod((root_ / "run").c_str(), 0700);
    std::ofstream(root_ / "hkcu.reg", std::ios::binary)
        << "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_CURRENT_USER\\Software\\Zorbe IT Service\\Sylkum]\r\n"
           "\"Version\"=\"5.2\"\r\n"
           "\"MDE\"=\""
        << (root_ / "install").string() << "\"\r\n";
    ASSERT_TRUE(fs::exists(ProgramPath())) << ProgramPath();
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path Manifest() const { return root_ / "temp" / "OrvakBK.ini"; }
  void WriteManifest(const std::string& content) const {
    std::ofstream(Manifest(), std::ios::binary) << content;
  }

  std::vector<std::string> Environment(const std::string& lang = "C",
                                       const std::string& temp = "temp") const {
    return {"TEMP=" + (root_ / temp).string(),
            "HKCU_FILE=" + (root_ / "hkcu.reg").string(),
            "XDG_RUNTIME_DIR=" + (root_ / "run").string(),
            "PATH=/usr/bin:/bin",
            "LANG=" + lang,
            "LOCPATH=" + (root_ / "locales").string()};
  }

  // The registry export with the product at `version` in `folder`.
  void WriteRegistry(const std::string& version, const fs::path& folder) const {
    std::ofstream(root_ / "hkcu.reg", std::ios::binary)
        << "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_CURRENT_USER\\Software\\Zorbe IT Service\\Sylkum]\r\n"
           "\"Version\"=\""
        << version << "\"\r\n\"MDE\"=\"" << folder.string() << "\"\r\n";
  }

  // What updater-tool explain says when run as the updater is, just before
  // it: its exit status and its lines.
  struct Explained {
    int status = -1;
    std::string text;
  };
  Explained Explain(const std::string& lang = "C", const std::string& keys = std::string()) const {
    std::string command = "env -i";
    for (const std::string& entry : Environment(lang)) command += " '" + entry + "'";
    // glibc keeps the memory of LOCPATH's parsing until the end, which a
    // leak-checking build of the tool would report at its exit.
    command += std::string(" ASAN_OPTIONS=detect_leaks=0 '") + UPDATER_TOOL_PROGRAM + "' explain" +
               (keys.empty() ? std::string() : " --key '" + keys + "'");
    Explained explained;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return explained;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      explained.text.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    explained.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return explained;
  }

  // explain told what the run did: whether it asked, and (when `summary`,
  // the terminal's text, is given) which entries the summary lists.
  static void ExpectAgreement(const Explained& explained, bool asked, const std::string& summary) {
    // 0 and 4 both mean "offered": 4 adds that it would not install cleanly.
    EXPECT_EQ(explained.status == 0 || explained.status == 4, asked) << explained.text;
    if (summary.empty()) return;
    std::size_t at = 0;
    while ((at = explained.text.find("\n  line ", at)) != std::string::npos) {
      const std::size_t end = explained.text.find('\n', at + 1);
      const std::string line = explained.text.substr(at + 1, end - at - 1);
      at = end;
      const std::size_t arrow = line.find("\" -> \"");
      const std::size_t close = line.find("\": ", arrow + 5);
      if (arrow == std::string::npos || close == std::string::npos) continue;
      const std::string destination = line.substr(arrow + 6, close - arrow - 6);
      const bool listed = line.compare(close + 3, 11, "passed over") != 0;
      EXPECT_EQ(summary.find("\\" + destination) != std::string::npos, listed) << line << "\n"
                                                                               << summary;
    }
  }

  // A whole update answered as the user would: Yes, OK, OK; what the
  // terminal showed, empty when a box did not come. explain, asked first,
  // must agree.
  std::string UpdateOnTheTerminal() const {
    const Explained explained = Explain();
    Updater run(Updater::Terminal::kPty, Environment());
    for (const auto& [shown, answer] : {std::pair<const char*, const char*>{kPrompt, "j\n"},
                                        {"[OK] (Enter): ", "\n"},
                                        {"opdateret:", "\n"}}) {
      if (!run.WaitForOutput(shown, 10)) {
        ADD_FAILURE() << "no " << shown << " in " << run.printed;
        return std::string();
      }
      run.Type(answer);
    }
    EXPECT_TRUE(run.WaitForEnd(5)) << run.printed;
    ExpectAgreement(explained, true, run.printed.substr(run.printed.find("opdateret:")));
    return run.printed;
  }

  // Whether the updater asks at all; it is answered No when it does.
  // explain, asked first, must agree.
  bool Prompts(const std::string& lang, const std::string& program = ProgramPath(),
               const std::string& keys = std::string()) {
    const Explained explained = Explain(lang, keys);
    Updater run(Updater::Terminal::kPty, Environment(lang), program);
    const bool asked = run.WaitForOutput(kPrompt, 5);
    if (asked) run.Type("n\n");
    EXPECT_TRUE(run.WaitForEnd(5)) << run.printed;
    EXPECT_TRUE(run.EndedNormally()) << run.printed;
    ExpectAgreement(explained, asked, std::string());
    return asked;
  }

  fs::path root_;
};

TEST_F(UpdaterProcessTest, OnlyOneUpdaterAtATime) {
  WriteManifest("5.3\r\nslut\r\n");
  for (Updater::Terminal second : {Updater::Terminal::kPty, Updater::Terminal::kNone}) {
    SCOPED_TRACE(second == Updater::Terminal::kPty ? "second on a terminal" : "second without");
    Updater first(Updater::Terminal::kPty, Environment());
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(first.WaitForOutput(kPrompt, 10)) << first.printed;

    const Explained explained = Explain();
    Updater other(second, Environment());
    ASSERT_TRUE(other.started());
    ASSERT_TRUE(other.WaitForEnd(2)) << "the second updater is still running";
    EXPECT_TRUE(other.EndedNormally());
    EXPECT_EQ(other.printed, "");
    ExpectAgreement(explained, false, std::string());

    // The first is still asking, and takes its answer.
    first.Type("n\n");
    ASSERT_TRUE(first.WaitForEnd(5));
    EXPECT_TRUE(first.EndedNormally());
    EXPECT_EQ(first.printed.find("Venligst afslut"), std::string::npos) << first.printed;

    // Its claim ended with it: the next updater asks again.
    Updater next(Updater::Terminal::kPty, Environment());
    EXPECT_TRUE(next.WaitForOutput(kPrompt, 10)) << next.printed;
    next.Type("n\n");
    EXPECT_TRUE(next.WaitForEnd(5));
  }
}

// The version test on a comma locale (Danish, compiled into the test's own
// folder) and on a point locale: one manifest compares the same on both.
TEST_F(UpdaterProcessTest, VersionTestIsTheSameOnACommaLocale) {
  const fs::path locales = root_ / "locales";
  fs::create_directories(locales);
  const std::string compile =
      "localedef -i da_DK -f UTF-8 '" + (locales / "da_DK.UTF-8").string() + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(compile.c_str()) == 0 || fs::exists(locales / "da_DK.UTF-8" / "LC_NUMERIC"),
            true)
      << "localedef cannot compile da_DK.UTF-8 (Debian package locales)";
  // The locale works: a program started in it reads a decimal comma. Asked
  // of a child, since glibc keeps memory for LOCPATH that it never frees.
  const std::string ask =
      "LOCPATH='" + locales.string() + "' LC_ALL=da_DK.UTF-8 locale decimal_point 2>&1";
  FILE* answer = ::popen(ask.c_str(), "r");
  ASSERT_NE(answer, nullptr);
  char separator[64] = {};
  const std::size_t got = std::fread(separator, 1, sizeof separator - 1, answer);
  ::pclose(answer);
  EXPECT_EQ(std::string(separator, got), ",\n");

  const struct {
    const char* installed;
    const char* offered;
    bool prompts;
  } cases[] = {
      {"5.3", "5.3", false},
      {"5.2", "5.1", false},
      {"5.20", "5.3", true},
      {"5.2", "\"5,3\"", true},
      {"5.2", "\"5,1\"", false},
      {"9.5", "10.0", false},
      // Saved as UTF-8 with its byte-order mark.
      {"5.3",
       "\xEF\xBB\xBF"
       "5.3",
       false},
      {"5.2",
       "\xEF\xBB\xBF"
       "5.3",
       true},
  };
  for (const char* lang : {"da_DK.UTF-8", "C"}) {
    for (const auto& c : cases) {
      WriteRegistry(c.installed, root_ / "install");
      WriteManifest(std::string(c.offered) + "\r\nslut\r\n");
      EXPECT_EQ(Prompts(lang), c.prompts)
          << lang << ": installed " << c.installed << ", offered " << c.offered;
    }
  }
}

// An install folder under a name the ANSI code page cannot hold: the files
// go to that folder, not to a look-alike, and the lock file is looked for
// there.
TEST_F(UpdaterProcessTest, InstallFolderOutsideTheCodePage) {
  const fs::path install = root_ / "users" / "\xC5\x81ukasz" / "Sylkum";  // Łukasz
  fs::create_directories(install);
  std::ofstream(install / "Sylkum.mde", std::ios::binary) << "old";
  WriteRegistry("5.2", install);
  WriteManifest("5.3\r\nsylkum.mde,Sylkum.mde\r\nslut\r\n");
  std::ofstream(root_ / "temp" / "sylkum.mde", std::ios::binary) << "new";
  const std::string printed = UpdateOnTheTerminal();
  EXPECT_NE(printed.find(install.string() + "\\Sylkum.mde"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("ikke lukket"), std::string::npos) << printed;
  std::ifstream copied(install / "Sylkum.mde", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copied), {}), "new");
}

// Snapshot of every file under `folder`: relative path, content.
// The whole content of the file `path`; empty when it cannot be read.
std::string Read(const fs::path& path) {
  std::string content;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return content;
  struct stat st;
  if (::fstat(fd, &st) == 0) {
    content.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < content.size()) {
      const ssize_t n = ::read(fd, content.data() + done, content.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    content.resize(done);
  }
  ::close(fd);
  return content;
}

std::map<std::string, std::string> Files(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    files[fs::relative(entry.path(), folder).string()] = Read(entry.path());
  }
  return files;
}

// Killed at any instant of its copy pass, the updater leaves every
// destination with its old content or a whole new one; the next complete run
// leaves exactly the new files, with no staged file beside them. Two
// payloads take turns, so that every kill has something to interrupt. An
// update that lands whole leaves old and new side by side only when the
// kill came inside its commit: every file still old then has its whole new
// file staged beside it (and one missing has its old file aside).
using EnvironmentOf = std::function<std::vector<std::string>(const std::string& temp)>;

void KillDuringCopies(const fs::path& root, const EnvironmentOf& environment, bool whole,
                      int kills) {
  constexpr int kFiles = 12;
  constexpr std::size_t kBytes = 2 << 20;
  std::vector<std::vector<std::string>> versions(3);  // installed, then two payloads
  std::vector<std::string> names;
  std::string manifest = "5.3\r\n";
  for (int file = 0; file < kFiles; ++file) {
    names.push_back("data" + std::to_string(file) + ".mdb");
    manifest += names.back() + "," + names.back() + "\r\n";
    for (int version = 0; version < 3; ++version) {
      versions[version].push_back(std::string(kBytes, static_cast<char>('a' + version)) +
                                  std::to_string(file));
      const fs::path folder =
          version == 0 ? root / "install" : root / ("temp" + std::to_string(version));
      fs::create_directories(folder);
      std::ofstream(folder / names.back(), std::ios::binary) << versions[version].back();
    }
  }
  manifest += whole ? "slut\r\nhelt-eller-slet-ikke\r\n" : "slut\r\n";
  for (const char* temp : {"temp1", "temp2"}) {
    std::ofstream(root / temp / "OrvakBK.ini", std::ios::binary) << manifest;
  }
  // A run of payload `version`, killed `delay` seconds after the last answer
  // (never: a whole run); returns the seconds to its summary.
  const auto run = [&](int version, double delay) {
    Updater updater(Updater::Terminal::kPty, environment("temp" + std::to_string(version)));
    EXPECT_TRUE(updater.WaitForOutput(kPrompt, 10)) << updater.printed;
    updater.Type("j\n");
    EXPECT_TRUE(updater.WaitForOutput("[OK] (Enter): ", 10)) << updater.printed;
    updater.Type("\n");
    const Clock::time_point answered = Clock::now();
    if (delay >= 0) {
      std::this_thread::sleep_for(std::chrono::duration<double>(delay));
      updater.Kill();
      return 0.0;
    }
    EXPECT_TRUE(updater.WaitForOutput("opdateret:", 60)) << updater.printed;
    const double took = SecondsSince(answered);
    updater.Type("\n");
    EXPECT_TRUE(updater.WaitForEnd(10));
    return took;
  };
  const double took = run(1, -1);
  std::mt19937 chance(20261209);
  std::uniform_real_distribution<double> moment(0, took);
  for (int kill = 0; kill < kills; ++kill) {
    const int version = 2 - kill % 2;
    std::map<std::string, std::string> before;
    if (whole) before = Files(root / "install");
    run(version, moment(chance));
    const std::map<std::string, std::string> after = Files(root / "install");
    if (!whole) {
      for (int file = 0; file < kFiles; ++file) {
        const auto found = after.find(names[file]);
        const std::string content = found == after.end() ? std::string() : found->second;
        EXPECT_TRUE(content == versions[0][file] || content == versions[1][file] ||
                    content == versions[2][file])
            << names[file] << " holds a part after kill " << kill;
      }
      continue;
    }
    // The file of `name` beside its destination in `files` whose name
    // `ours` gives for it, if any.
    const auto beside = [](const std::map<std::string, std::string>& files, const std::string& name,
                           bool (*ours)(const std::wstring&, const std::wstring&)) {
      for (const auto& [other, held] : files) {
        if (ours(updater::DecodeUtf8(other), updater::DecodeUtf8(name))) return held;
      }
      return std::string("<none>");
    };
    std::vector<int> stillOld;
    bool anyNew = false;
    for (int file = 0; file < kFiles; ++file) {
      // Missing before: a run killed between its two renames left the old
      // file aside, and this run put it back first.
      const auto was = before.find(names[file]);
      const std::string old =
          was != before.end() ? was->second : beside(before, names[file], updater::IsAsideNameOf);
      const std::string& fresh = versions[version][file];
      const auto found = after.find(names[file]);
      const std::string content = found == after.end() ? std::string() : found->second;
      // Missing only between its two renames, its old file aside.
      const bool aside =
          found == after.end() && beside(after, names[file], updater::IsAsideNameOf) == old;
      EXPECT_TRUE(content == old || content == fresh || aside)
          << names[file] << " holds a part after kill " << kill;
      if (content == fresh && fresh != old) anyNew = true;
      if (content != fresh && !aside) stillOld.push_back(file);
    }
    if (!anyNew) continue;
    // A mix: the kill came inside the commit, and every file still old has
    // its new one staged.
    for (int file : stillOld) {
      EXPECT_EQ(beside(after, names[file], updater::IsStagedNameOf), versions[version][file])
          << names[file] << " is old beside new files after kill " << kill;
    }
  }
  run(2, -1);
  std::map<std::string, std::string> expected;
  for (int file = 0; file < kFiles; ++file) expected[names[file]] = versions[2][file];
  EXPECT_EQ(Files(root / "install"), expected);
}

TEST_F(UpdaterProcessTest, KilledAnywhereInTheCopyPassEveryFileIsOldOrWholeNew) {
  KillDuringCopies(
      root_, [this](const std::string& temp) { return Environment("C", temp); }, false, 200);
}

TEST_F(UpdaterProcessTest, KilledAnywhereAWholeUpdateMixesOnlyInsideItsCommit) {
  KillDuringCopies(
      root_, [this](const std::string& temp) { return Environment("C", temp); }, true, 100);
}

// A signed build installs only what its maker signed: an update packed
// with the maker's key by updater-tool is offered, and not once its
// signature is gone or is another key's. explain, told the key, agrees.
TEST_F(UpdaterProcessTest, ASignedBuildOffersOnlyWhatItsMakerSigned) {
  fs::create_directories(root_ / "tree");
  std::ofstream(root_ / "tree" / "Sylkum.mde", std::ios::binary) << "ny";
  fs::remove_all(root_ / "temp");
  const std::string keys = TEST_KEYS;
  const std::string pack = std::string("'") + UPDATER_TOOL_PROGRAM +
                           "' pack --version 5.3 --from '" + (root_ / "tree").string() +
                           "' --to '" + (root_ / "temp").string() + "' --sign '" + keys +
                           "/test-signing-key-a.pem' >/dev/null";
  ASSERT_EQ(std::system(pack.c_str()), 0);
  const std::string key = keys + "/test-signing-key-a.pub.pem";
  EXPECT_TRUE(Prompts("C", UPDATER_SIGNED_PROGRAM, key));
  const fs::path signature = root_ / "temp" / "OrvakBK.sha256.sig";
  // openssl's signature with the same key, as DER and as r and s.
  const std::string openssl = "openssl dgst -sha256 -sign '" + keys +
                              "/test-signing-key-a.pem' -out '" + signature.string() + "' '" +
                              (root_ / "temp" / "OrvakBK.sha256").string() + "'";
  ASSERT_EQ(std::system(openssl.c_str()), 0);
  EXPECT_TRUE(Prompts("C", UPDATER_SIGNED_PROGRAM, key));
  const std::optional<updater::P256Signature> rs = updater::ParseSignature(Read(signature));
  ASSERT_TRUE(rs.has_value());
  std::ofstream(signature, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(rs->data()), 64);
  EXPECT_TRUE(Prompts("C", UPDATER_SIGNED_PROGRAM, key));
  const std::string other = "openssl dgst -sha256 -sign '" + keys +
                            "/test-signing-key-b.pem' -out '" + signature.string() + "' '" +
                            (root_ / "temp" / "OrvakBK.sha256").string() + "'";
  ASSERT_EQ(std::system(other.c_str()), 0);
  EXPECT_FALSE(Prompts("C", UPDATER_SIGNED_PROGRAM, key));
  fs::remove(signature);
  EXPECT_FALSE(Prompts("C", UPDATER_SIGNED_PROGRAM, key));
  // The manifest says a signature comes with it: an unsigned build waits
  // for it too.
  EXPECT_FALSE(Prompts("C"));
}

// What the maker packs is what the customer gets: a tree with Danish
// letters, a comma in a name, sub-folders two deep and a file in capitals,
// packed by updater-tool and installed by the real updater over an older
// installation that lacks one of its folders, leaves the install folder
// equal to the tree; the same update with a damaged payload file is not
// offered. Each installed file keeps its tree file's time, and an install
// folder written with a "/" at its end is the folder itself, to explain as
// to the updater.
TEST_F(UpdaterProcessTest, PackedTreeInstallsAsItIs) {
  const fs::path tree = root_ / "tree";
  const std::map<std::string, std::string> content = {
      {"Sylkum.mde", "ny mde \x01\xFF"},
      {"Hj\xC3\xA6lp/hj\xC3\xA6lp.chm", "ny hj\xC3\xA6lp"},
      {"Hj\xC3\xA6lp/Billeder/LOGO.PNG", "nyt logo"},
      {"Data/rapport,2026.mdb", "ny rapport"},
      {"Data/Sylkum.mde", "a second Sylkum.mde"},
  };
  const fs::path install = root_ / "install";
  for (const auto& [name, bytes] : content) {
    fs::create_directories((tree / name).parent_path());
    std::ofstream(tree / name, std::ios::binary) << bytes;
    // The installation holds an older version of every file but the logo,
    // whose folder the update makes: it lands whole.
    if (name.find("Billeder") != std::string::npos) continue;
    fs::create_directories((install / name).parent_path());
    std::ofstream(install / name, std::ios::binary) << "old " << name;
  }
  ASSERT_FALSE(fs::exists(install / "Hj\xC3\xA6lp" / "Billeder"));
  // A build made a day ago: whole seconds, as every file system keeps them.
  const fs::file_time_type built = std::chrono::time_point_cast<std::chrono::seconds>(
      fs::file_time_type::clock::now() - std::chrono::hours(24));
  for (const auto& [name, bytes] : content) fs::last_write_time(tree / name, built);
  WriteRegistry("5.2", install.string() + "/");
  fs::remove_all(root_ / "temp");
  const std::string pack = std::string("'") + UPDATER_TOOL_PROGRAM +
                           "' pack --version 5.3 --from '" + tree.string() + "' --to '" +
                           (root_ / "temp").string() + "' >'" + (root_ / "pack.txt").string() + "'";
  ASSERT_EQ(std::system(pack.c_str()), 0) << Files(root_)["pack.txt"];

  // With one payload byte flipped the update is not offered, and nothing
  // changes; mended, it installs.
  const std::map<std::string, std::string> old = Files(install);
  const auto flip = [this](char c) {
    std::fstream file(root_ / "temp" / "Sylkum.mde",
                      std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(2);
    file.put(c);
  };
  flip('X');
  {
    Updater run(Updater::Terminal::kPty, Environment());
    ASSERT_TRUE(run.WaitForEnd(10)) << run.printed;
    EXPECT_TRUE(run.EndedNormally());
    EXPECT_EQ(run.printed, "");
  }
  EXPECT_EQ(Files(install), old);
  flip(' ');
  fs::last_write_time(root_ / "temp" / "Sylkum.mde", built);  // as packed

  const Explained explained = Explain();
  EXPECT_EQ(explained.status, 0) << explained.text;
  EXPECT_NE(explained.text.find("Install folder: " + install.string() + "/\n"), std::string::npos)
      << explained.text;
  const std::string printed = UpdateOnTheTerminal();
  EXPECT_EQ(printed.find("kunne ikke"), std::string::npos) << printed;
  EXPECT_EQ(Files(install), content);
  for (const auto& [name, bytes] : content) {
    EXPECT_EQ(fs::last_write_time(install / name), built) << name;
  }
}

// A folder named like the manifest is no manifest: the run ends silently
// rather than asking, even with a terminal to ask on. A file of that name in
// the same place does ask, which shows the terminal would have shown it.
TEST_F(UpdaterProcessTest, ManifestThatIsAFolderEndsSilently) {
  fs::create_directories(Manifest());
  std::ofstream(Manifest() / "slut", std::ios::binary) << "5.3\r\n";
  {
    Updater run(Updater::Terminal::kPty, Environment());
    ASSERT_TRUE(run.WaitForEnd(5)) << run.printed;
    EXPECT_TRUE(run.EndedNormally());
    EXPECT_EQ(run.printed, "");
  }
  fs::remove_all(Manifest());
  WriteManifest("5.3\r\nslut\r\n");
  Updater run(Updater::Terminal::kPty, Environment());
  EXPECT_TRUE(run.WaitForOutput(kPrompt, 10)) << run.printed;
  run.Type("n\n");
  EXPECT_TRUE(run.WaitForEnd(5));
}

// A 4 GiB manifest (sparse: it takes no disk) whose first line offers a new
// version: the first pass reads the version only, so the run ends as fast as
// with a small manifest and its memory does not grow with the file. With no
// terminal the run ends at its first box.
// A source with a folder part is passed over before its presence test is
// asked: a hidden file in a folder the user may pass through but not list
// (where the test cannot be made) is never copied into the install folder.
TEST_F(UpdaterProcessTest, ASourceInAFolderThatCannotBeListedIsNeverCopied) {
  uid_t user = 0;
  if (::geteuid() == 0) {
    user = 65534;  // nobody: root reads every folder
    for (const fs::path& open : {root_, root_ / "temp", root_ / "install", root_ / "run"}) {
      ::chmod(open.c_str(), 0777);
    }
  }
  fs::create_directories(root_ / "elsewhere" / "locked");
  std::ofstream(root_ / "elsewhere" / "locked" / ".secret") << "secret";
  ::chmod((root_ / "elsewhere" / "locked").c_str(), 0711);  // passed through, never listed
  WriteManifest("5.3\r\n..\\elsewhere\\locked\\.secret,stolen.txt\r\nslut\r\n");
  Updater run(Updater::Terminal::kPty, Environment(), ProgramPath(), user);
  for (const auto& [shown, answer] : {std::pair<const char*, const char*>{kPrompt, "j\n"},
                                      {"[OK] (Enter): ", "\n"},
                                      {"opdateret:", "\n"}}) {
    ASSERT_TRUE(run.WaitForOutput(shown, 10)) << "no " << shown << " in " << run.printed;
    run.Type(answer);
  }
  EXPECT_TRUE(run.WaitForEnd(5)) << run.printed;
  EXPECT_FALSE(fs::exists(root_ / "install" / "stolen.txt"));
  EXPECT_EQ(run.printed.find("stolen"), std::string::npos) << run.printed;
}

TEST_F(UpdaterProcessTest, FourGibManifestIsNotReadWhole) {
  WriteManifest("5.3\r\nslut\r\n");
  Updater small(Updater::Terminal::kNone, Environment());
  ASSERT_TRUE(small.WaitForEnd(10));
  ASSERT_TRUE(small.EndedNormally()) << small.printed;

  {
    WriteManifest("5.3\r\n");
    const int fd = ::open(Manifest().c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 4ll << 30), 0);
    ::close(fd);
  }
  Updater huge(Updater::Terminal::kNone, Environment());
  ASSERT_TRUE(huge.WaitForEnd(10)) << "still reading a 4 GiB manifest after 10 s";
  EXPECT_TRUE(huge.EndedNormally());
  EXPECT_EQ(huge.printed, "");
  EXPECT_LT(huge.Seconds(), 2.0);
  EXPECT_LT(huge.PeakRssKiB(), small.PeakRssKiB() + 4096)
      << "peak RSS " << huge.PeakRssKiB() << " KiB against " << small.PeakRssKiB()
      << " KiB for a small manifest";
}

// A manifest of 150 MiB, its list whole, is not offered: it is read only as
// far as the updater takes a manifest, in bounded memory, and the run ends
// silently.
TEST_F(UpdaterProcessTest, AManifestOf150MiBEndsSilentlyInBoundedMemory) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "under AddressSanitizer freed memory is held back on purpose: the resident "
                  "memory says nothing of the updater's own";
#endif
  WriteManifest("5.3\r\nslut\r\n");
  Updater small(Updater::Terminal::kNone, Environment());
  ASSERT_TRUE(small.WaitForEnd(10));
  {
    std::ofstream out(Manifest(), std::ios::binary);
    out << "5.3\r\n";
    const std::string line = "Sylkum-data-file.mdb,Data\\Sylkum-data-file.mdb\r\n";
    for (std::size_t written = 0; written < (150u << 20); written += line.size()) out << line;
    out << "slut\r\n";
  }
  Updater whole(Updater::Terminal::kPty, Environment());
  ASSERT_TRUE(whole.WaitForEnd(60));
  EXPECT_TRUE(whole.EndedNormally()) << whole.printed;
  EXPECT_EQ(whole.printed.find(kPrompt), std::string::npos) << whole.printed;
  EXPECT_LT(whole.PeakRssKiB(), small.PeakRssKiB() + 12 * 1024)
      << "peak RSS " << whole.PeakRssKiB() << " KiB against " << small.PeakRssKiB()
      << " KiB for a small manifest";
}

}  // namespace
