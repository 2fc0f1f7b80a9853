// Holds a file open without sharing, the way a running program holds its own
// files, so that the end-to-end suite can try to update a file in use.
//
//   hold_file PATH SECONDS
//
// Prints "held" once the file is open and keeps it open for SECONDS or until
// killed. Ends with 1 on bad arguments, 2 when the file cannot be opened.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  wchar_t* end = nullptr;
  const unsigned long seconds = argc == 3 ? std::wcstoul(argv[2], &end, 10) : 0;
  if (argc != 3 || end == argv[2] || *end != L'\0') {
    std::fputs("usage: hold_file PATH SECONDS\n", stderr);
    return 1;
  }
  const HANDLE file = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "hold_file: cannot open the file: error %lu\n", GetLastError());
    return 2;
  }
  std::fputs("held\n", stdout);
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(seconds) * 1000);
  CloseHandle(file);
  return 0;
}
