// The commit window of an update that lands whole, on this machine's disk:
// the time from the first rename of the commit to the last, while no
// destination but the ones being renamed can hold anything but its old
// content. Lands N generated files whole through the real platform, times
// the renames from a wrapper around it, and prints the median and the
// largest of the rounds.
//
//   commit_window FOLDER FILES ROUNDS
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/text.h"
#include "update/whole.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Notes when the first and the last rename began and ended.
class Timed final : public updater::PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  updater::CopyError RenameFile(const std::wstring& from, const std::wstring& to,
                                bool replace) override {
    const Clock::time_point start = Clock::now();
    if (!started_) first_ = start;
    started_ = true;
    const updater::CopyError error = PlatformWrapper::RenameFile(from, to, replace);
    last_ = Clock::now();
    return error;
  }
  double WindowMs() const {
    return std::chrono::duration<double, std::milli>(last_ - first_).count();
  }

 private:
  bool started_ = false;
  Clock::time_point first_, last_;
};

std::wstring Win(const fs::path& path) { return updater::DecodeUtf8(path.string()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: commit_window FOLDER FILES ROUNDS\n");
    return 2;
  }
  const fs::path root = argv[1];
  const int files = std::atoi(argv[2]);
  const int rounds = std::atoi(argv[3]);
  std::vector<double> windows;
  for (int round = 0; round < rounds; ++round) {
    fs::remove_all(root);
    fs::create_directories(root / "temp");
    fs::create_directories(root / "install");
    std::vector<updater::WholeFile> update;
    for (int i = 0; i < files; ++i) {
      const std::string name = "file" + std::to_string(i) + ".dll";
      std::ofstream(root / "temp" / name, std::ios::binary) << std::string(4096, 'n') << round;
      std::ofstream(root / "install" / name, std::ios::binary) << std::string(4096, 'o');
      update.push_back({Win(root / "temp" / name), Win(root / "install" / name), nullptr});
    }
    Timed timed(updater::SystemPlatform());
    if (!updater::LandWhole(timed, Win(root / "install") + L"/", update).landed) {
      std::fprintf(stderr, "the update did not land\n");
      return 1;
    }
    windows.push_back(timed.WindowMs());
  }
  fs::remove_all(root);
  std::sort(windows.begin(), windows.end());
  std::printf("%d files: commit window median %.2f ms, largest %.2f ms (%d rounds)\n", files,
              windows[windows.size() / 2], windows.back(), rounds);
  return 0;
}
