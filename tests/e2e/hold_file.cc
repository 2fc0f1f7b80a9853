// Holds a file open without sharing, the way a running program holds its own
// files, so that the end-to-end suite can try to update a file in use; or
// holds a named mutex open without owning it, as a program that looks at
// the updater's claim does.
//
//   hold_file PATH SECONDS
//   hold_file --mutex NAME SECONDS
//
// Prints "held" once the file (or mutex) is open and keeps it open for
// SECONDS or until killed. Ends with 1 on bad arguments, 2 when it cannot be
// opened.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  const bool mutex = argc == 4 && std::wcscmp(argv[1], L"--mutex") == 0;
  const wchar_t* name = argv[mutex ? 2 : 1];
  const wchar_t* count = argv[mutex ? 3 : 2];
  wchar_t* end = nullptr;
  const unsigned long seconds = argc == (mutex ? 4 : 3) ? std::wcstoul(count, &end, 10) : 0;
  if (argc != (mutex ? 4 : 3) || end == count || *end != L'\0') {
    std::fputs("usage: hold_file PATH SECONDS | hold_file --mutex NAME SECONDS\n", stderr);
    return 1;
  }
  const HANDLE handle = mutex ? OpenMutexW(SYNCHRONIZE, FALSE, name)
                              : CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "hold_file: cannot open it: error %lu\n", GetLastError());
    return 2;
  }
  std::fputs("held\n", stdout);
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(seconds) * 1000);
  CloseHandle(handle);
  return 0;
}
