/* Times program starts inside one Windows (Wine) process.

     spawn_timer_win STARTS PROGRAM TEMPDIR [PROGRAM TEMPDIR]...
     spawn_timer_win check PROGRAM TEMPDIR TIMEOUT_MS

   The first form starts every program once untimed (the warm-up), then
   STARTS times, taking the programs in turn so that the machine's
   noise falls on all of them alike; the order within a turn is shuffled
   afresh (with a fixed seed), so that no program always follows the same
   one. Each start is timed from CreateProcessW
   to the end of its wait with QueryPerformanceCounter, with the variable
   temp set to the program's TEMPDIR. For each program it prints one line
   "median_us mean_us failures", a failure being a start that did not run or
   did not end with 0 (or within a minute); then, for each program, a line
   of every start's time in microseconds, in the order taken.

   The second form starts PROGRAM once and watches it: it prints
   "window TITLE" as soon as the program shows a visible window (and then
   ends it), "timeout" when it runs longer than TIMEOUT_MS, else "exit CODE". */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static int CompareDoubles(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static double Median(double* values, int count) {
  qsort(values, (size_t)count, sizeof(double), CompareDoubles);
  return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

/* Starts `program` with temp set to `temp`; false when it could not. */
static BOOL Start(const wchar_t* program, const wchar_t* temp, PROCESS_INFORMATION* process) {
  wchar_t line[MAX_PATH + 3];
  STARTUPINFOW startup = {sizeof startup};
  if (wcslen(program) > MAX_PATH || !SetEnvironmentVariableW(L"temp", temp)) return FALSE;
  swprintf(line, MAX_PATH + 3, L"\"%ls\"", program);
  return CreateProcessW(program, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, process);
}

/* Runs `program` to its end; true when it ended with 0 within a minute.
   Tells on the error stream why it did not. */
static BOOL RunOnce(const wchar_t* program, const wchar_t* temp) {
  PROCESS_INFORMATION process;
  DWORD code = 0;
  if (!Start(program, temp, &process)) {
    fprintf(stderr, "%ls: not started, error %lu\n", program, GetLastError());
    return FALSE;
  }
  CloseHandle(process.hThread);
  const BOOL ended = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
  if (!ended) {
    fprintf(stderr, "%ls: still running after a minute\n", program);
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
  } else if (!GetExitCodeProcess(process.hProcess, &code) || code != 0) {
    fprintf(stderr, "%ls: exit %lu\n", program, code);
  }
  CloseHandle(process.hProcess);
  return ended && code == 0;
}

struct Watch { DWORD pid; HWND found; };

static BOOL CALLBACK FindShown(HWND window, LPARAM param) {
  struct Watch* watch = (struct Watch*)param;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != watch->pid || !IsWindowVisible(window)) return TRUE;
  watch->found = window;
  return FALSE;
}

static int Check(const wchar_t* program, const wchar_t* temp, DWORD timeout_ms) {
  PROCESS_INFORMATION process;
  struct Watch watch = {0, NULL};
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  DWORD code = 0;
  if (!Start(program, temp, &process)) {
    printf("nostart %lu\n", GetLastError());
    return 0;
  }
  CloseHandle(process.hThread);
  watch.pid = process.dwProcessId;
  while (WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT) {
    EnumWindows(FindShown, (LPARAM)&watch);
    if (watch.found || GetTickCount64() > deadline) {
      wchar_t title[256] = L"";
      GetWindowTextW(watch.found, title, 256);
      if (watch.found) printf("window %ls\n", title); else printf("timeout\n");
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, INFINITE);
      return 0;
    }
  }
  GetExitCodeProcess(process.hProcess, &code);
  printf("exit %lu\n", code);
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc == 5 && wcscmp(argv[1], L"check") == 0)
    return Check(argv[2], argv[3], (DWORD)_wtoi(argv[4]));
  if (argc < 4 || argc % 2 != 0) {
    fprintf(stderr, "usage: spawn_timer_win STARTS PROGRAM TEMPDIR [PROGRAM TEMPDIR]...\n"
                    "       spawn_timer_win check PROGRAM TEMPDIR TIMEOUT_MS\n");
    return 2;
  }
  const int total = _wtoi(argv[1]), programs = (argc - 2) / 2;
  if (total < 1) return 2;
  double* times = malloc(sizeof(double) * (size_t)total * (size_t)programs);
  double* sorted = malloc(sizeof(double) * (size_t)total);
  int* failures = calloc((size_t)programs, sizeof(int));
  int* order = malloc(sizeof(int) * (size_t)programs);
  unsigned seed = 12345;
  LARGE_INTEGER frequency, start, end;
  if (!times || !sorted || !failures || !order) return 2;
  QueryPerformanceFrequency(&frequency);
  for (int p = 0; p < programs; ++p) RunOnce(argv[2 + 2 * p], argv[3 + 2 * p]);
  for (int p = 0; p < programs; ++p) order[p] = p;
  for (int run = 0; run < total; ++run) {
    for (int i = programs - 1; i > 0; --i) {
      seed = seed * 1103515245u + 12345u;
      const int j = (int)((seed >> 16) % (unsigned)(i + 1)), swap = order[i];
      order[i] = order[j];
      order[j] = swap;
    }
    for (int k = 0; k < programs; ++k) {
      const int p = order[k];
      QueryPerformanceCounter(&start);
      const BOOL ok = RunOnce(argv[2 + 2 * p], argv[3 + 2 * p]);
      QueryPerformanceCounter(&end);
      if (!ok) ++failures[p];
      times[p * total + run] = (double)(end.QuadPart - start.QuadPart) * 1e6 / frequency.QuadPart;
    }
  }
  for (int p = 0; p < programs; ++p) {
    double sum = 0;
    for (int i = 0; i < total; ++i) sum += sorted[i] = times[p * total + i];
    printf("%.1f %.1f %d\n", Median(sorted, total), sum / total, failures[p]);
  }
  for (int p = 0; p < programs; ++p) {
    for (int i = 0; i < total; ++i) printf(i ? " %.1f" : "%.1f", times[p * total + i]);
    printf("\n");
  }
  return 0;
}
