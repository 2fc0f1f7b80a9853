// Times, under Wine or on Windows, the updater's copy of one large file
// beside CopyFileW of the same file followed by a flush of the copy (what
// the updater did before it copied through its own buffer), in turns:
//
//   copy_bench SOURCE FOLDER ROUNDS
//
// Each round copies SOURCE into FOLDER four ways: the updater's copy, the
// updater's copy held to the source's digest (as under a checksum file),
// CopyFileW with FlushFileBuffers, and that with the copy then read back and
// hashed (what the updater did before under a checksum file); and hashes
// SOURCE alone, the system's hashing speed. Prints one line per round:
// "<plain> <checked> <CopyFileW> <CopyFileW and hash> <hash alone>", in
// seconds, whatever order the round took them in.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "platform/platform.h"
#include "update/copy.h"

namespace {

double Now() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool CopyFileAndFlush(const std::wstring& from, const std::wstring& to) {
  if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) return false;
  const HANDLE file = CreateFileW(to.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(file) != 0;
  CloseHandle(file);
  return flushed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fputs("usage: copy_bench SOURCE FOLDER ROUNDS\n", stderr);
    return 2;
  }
  updater::Platform& platform = updater::SystemPlatform();
  const std::wstring source = argv[1];
  const std::wstring folder = std::wstring(argv[2]) + L"\\";
  const int rounds = _wtoi(argv[3]);
  updater::Sha256 digest;
  if (!platform.HashFile(source, &digest)) {
    std::fputs("cannot hash the source\n", stderr);
    return 1;
  }
  const std::wstring ours = folder + L"ours.bin";
  const std::wstring theirs = folder + L"theirs.bin";
  for (int round = 0; round < rounds; ++round) {
    double seconds[5];
    // Each round starts with another way, so that none always follows the
    // same one (and the disk's work on what it left).
    for (int turn = 0; turn < 5; ++turn) {
      const int way = (turn + round) % 5;
      const std::wstring& to = way < 2 ? ours : theirs;
      DeleteFileW(to.c_str());
      const double start = Now();
      updater::Sha256 check;
      bool copied = true;
      if (way < 2) {
        copied = updater::CopyIntoPlace(platform, source, to, way == 1 ? &digest : nullptr) ==
                 updater::CopyError::kNone;
      } else if (way < 4) {
        copied = CopyFileAndFlush(source, to) && (way == 2 || platform.HashFile(to, &check));
      } else {
        copied = platform.HashFile(source, &check);
      }
      seconds[way] = Now() - start;
      if (!copied) {
        std::fprintf(stderr, "copy %d failed\n", way);
        return 1;
      }
      DeleteFileW(to.c_str());
    }
    std::printf("%.4f %.4f %.4f %.4f %.4f\n", seconds[0], seconds[1], seconds[2], seconds[3],
                seconds[4]);
    std::fflush(stdout);
  }
  return 0;
}
