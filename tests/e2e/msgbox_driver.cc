// Drives the message boxes of another program for the end-to-end suite: finds
// a box by its title, tells what it shows, presses its buttons, and starts a
// program with a changed environment (Wine does not pass TEMP and TMP from
// the Unix environment on to Windows programs).
//
//   msgbox_driver wait TITLE TIMEOUT_MS
//       Waits for a message box titled TITLE and prints one JSON line:
//       {"title": ..., "text": ..., "buttons": [6, 7], "labels": ["&Yes", "&No"],
//        "icon": "question", "size": [300, 120], "screen": [1280, 1024],
//        "count": 1}; "labels" are the buttons' texts in the same order,
//       "size" the box's outer size in pixels, "screen" the screen's, and
//       "count" how many such boxes are open.
//   msgbox_driver press TITLE BUTTON_ID TIMEOUT_MS
//       Waits for the box, presses the button and waits until the box has
//       closed, each within TIMEOUT_MS.
//   msgbox_driver close TITLE TIMEOUT_MS
//       Waits for the box and closes it as its close button, a session that
//       ends or a tool does (WM_CLOSE), then waits until it has gone.
//   msgbox_driver absent TITLE MS
//       Succeeds when no box titled TITLE shows during MS milliseconds;
//       otherwise prints the box as `wait` does.
//   msgbox_driver locale
//       Prints the user locale as Windows programs see it, as one JSON line:
//       {"name": "da-DK", "decimal": ",", "acp": 1252}.
//   msgbox_driver shortname PATH
//       Prints the short (8.3) form Windows gives the existing PATH.
//   msgbox_driver run [--terminate-when PATH] [NAME=VALUE...] -- PROGRAM [ARG...]
//       Runs PROGRAM with the variables set and the driver's standard
//       handles, waits for it and ends with its exit code. The program is
//       ended with the driver; with --terminate-when, also by
//       TerminateProcess as soon as the file PATH exists (a kill at a
//       moment the suite chooses).
//
// Output is UTF-8. Exit codes other than `run`'s are those of ExitCode.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

enum ExitCode : int {
  kOk = 0,
  kUsage = 1,
  kNoBox = 2,         // no box came within the time given
  kNoSuchButton = 3,  // the box has no button with that id
  kBoxStayed = 4,     // the box did not close after the press
  kBoxPresent = 5,    // `absent`: a box came
  kCannotStart = 6,   // `run`: the program could not be started
  kNoLocale = 7,      // `locale`: the user locale cannot be read
};

constexpr DWORD kPollMs = 25;
constexpr int kTextControlId = 0xFFFF;
constexpr int kIconControlId = 0x14;

// Every button a MessageBox can have, by id.
constexpr int kButtons[] = {IDOK,  IDCANCEL, IDABORT,    IDRETRY,   IDIGNORE,
                            IDYES, IDNO,     IDTRYAGAIN, IDCONTINUE};

// --- Output --------------------------------------------------------------

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int length = static_cast<int>(text.size());
  const int needed =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(needed > 0 ? needed : 0), '\0');
  if (needed > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), needed, nullptr, nullptr);
  }
  return bytes;
}

// Writes the bytes as they are: no console code page comes in between.
void Write(DWORD handleId, const std::string& bytes) {
  const HANDLE handle = GetStdHandle(handleId);
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written,
                   nullptr) ||
        written == 0) {
      return;
    }
    done += written;
  }
}

void Out(const std::string& line) { Write(STD_OUTPUT_HANDLE, line + "\n"); }
void Err(const std::string& line) { Write(STD_ERROR_HANDLE, "msgbox_driver: " + line + "\n"); }

std::string JsonString(const std::wstring& text) {
  std::string out = "\"";
  for (unsigned char c : Utf8(text)) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

// --- Finding boxes -----------------------------------------------------------

std::wstring WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  if (length <= 0) return std::wstring();
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
  return text;
}

struct Search {
  std::wstring title;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectBox(HWND window, LPARAM param) {
  Search* search = reinterpret_cast<Search*>(param);
  wchar_t className[16] = {};
  if (!IsWindowVisible(window) || GetClassNameW(window, className, 16) == 0 ||
      std::wcscmp(className, L"#32770") != 0) {
    return TRUE;
  }
  if (WindowText(window) == search->title) search->found.push_back(window);
  return TRUE;
}

// The visible dialog windows titled `title`, in z-order.
std::vector<HWND> FindBoxes(const std::wstring& title) {
  Search search{title, {}};
  EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Polls for a box until `timeoutMs` has passed; null when none came.
HWND WaitForBox(const std::wstring& title, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    const std::vector<HWND> boxes = FindBoxes(title);
    if (!boxes.empty()) return boxes.front();
    if (GetTickCount64() >= deadline) return nullptr;
    Sleep(kPollMs);
  }
}

// --- Describing a box --------------------------------------------------------

bool HasButton(HWND box, int id) {
  const HWND button = GetDlgItem(box, id);
  return button != nullptr && IsWindowVisible(button);
}

struct IconName {
  const wchar_t* resource;
  const char* name;
};
const IconName kIcons[] = {
    {IDI_INFORMATION, "information"}, {IDI_WARNING, "warning"},         {IDI_ERROR, "error"},
    {IDI_QUESTION, "question"},       {IDI_APPLICATION, "application"},
};

// The pixels of `bitmap` (not selected into a DC), as 32-bit BGRX.
std::vector<std::uint32_t> BitmapPixels(HBITMAP bitmap, int width, int height) {
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * height);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  const HDC screen = GetDC(nullptr);
  GetDIBits(screen, bitmap, 0, static_cast<UINT>(height), pixels.data(), &info, DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  for (std::uint32_t& p : pixels) p &= 0xFFFFFF;
  return pixels;
}

// What the screen shows in `rect`.
std::vector<std::uint32_t> ScreenPixels(const RECT& rect) {
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  const HDC screen = GetDC(nullptr);
  const HDC memory = CreateCompatibleDC(screen);
  const HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  const HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, old);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  std::vector<std::uint32_t> pixels = BitmapPixels(bitmap, width, height);
  DeleteObject(bitmap);
  return pixels;
}

// `icon` drawn at the top left of a `width` x `height` field of `background`
// (BGRX).
std::vector<std::uint32_t> Rendered(HICON icon, int width, int height, std::uint32_t background) {
  const HDC screen = GetDC(nullptr);
  const HDC memory = CreateCompatibleDC(screen);
  const HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  ReleaseDC(nullptr, screen);
  const HGDIOBJ old = SelectObject(memory, bitmap);
  const HBRUSH brush =
      CreateSolidBrush(RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF));
  const RECT all = {0, 0, width, height};
  FillRect(memory, &all, brush);
  DeleteObject(brush);
  DrawIconEx(memory, 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL);
  SelectObject(memory, old);
  DeleteDC(memory);
  std::vector<std::uint32_t> pixels = BitmapPixels(bitmap, width, height);
  DeleteObject(bitmap);
  return pixels;
}

// Which standard icon the box shows. Windows shares the standard icons
// between processes, so the handle the box holds is the one LoadIcon gives
// here. Wine loads them anew in each process; there the icon is told by
// comparing what is on the screen with each standard icon drawn on the
// same background.
BOOL CALLBACK FindIconControl(HWND child, LPARAM param) {
  wchar_t className[16] = {};
  if (GetClassNameW(child, className, 16) == 0 || _wcsicmp(className, L"Static") != 0 ||
      (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) {
    return TRUE;
  }
  *reinterpret_cast<HWND*>(param) = child;
  return FALSE;
}

// The control that shows the icon: 0x14 on Windows; Wine gives it another
// id, so there it is the static control of icon style.
HWND IconControl(HWND box) {
  HWND control = GetDlgItem(box, kIconControlId);
  if (control == nullptr) {
    EnumChildWindows(box, FindIconControl, reinterpret_cast<LPARAM>(&control));
  }
  return control;
}

std::string IconOf(HWND box) {
  const HWND control = IconControl(box);
  if (control == nullptr || !IsWindowVisible(control)) return "none";
  const HICON shown = reinterpret_cast<HICON>(SendMessageW(control, STM_GETICON, 0, 0));
  if (shown == nullptr) return "none";
  for (const IconName& icon : kIcons) {
    if (LoadIconW(nullptr, icon.resource) == shown) return icon.name;
  }

  RECT rect;
  GetWindowRect(control, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return "none";
  const std::vector<std::uint32_t> onScreen = ScreenPixels(rect);
  const std::uint32_t background = onScreen.front();
  for (const IconName& icon : kIcons) {
    const HICON candidate = LoadIconW(nullptr, icon.resource);
    if (candidate != nullptr && Rendered(candidate, width, height, background) == onScreen) {
      return icon.name;
    }
  }
  return "unknown";
}

// Moves `box` so that the whole of its icon control lies on the screen. A box
// may be wider or taller than the screen (long lines, many lines); Windows
// and Wine centre it all the same, which can put the icon off the screen,
// where no pixel of it can be read. The icon sits at the box's top left, so
// a box moved to the screen's top left shows it on any screen.
void BringOnScreen(HWND box, HWND control) {
  RECT icon;
  if (!GetWindowRect(control, &icon)) return;
  const int left = GetSystemMetrics(SM_XVIRTUALSCREEN);
  const int top = GetSystemMetrics(SM_YVIRTUALSCREEN);
  const int right = left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
  const int bottom = top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
  if (icon.left >= left && icon.top >= top && icon.right <= right && icon.bottom <= bottom) {
    return;
  }
  SetWindowPos(box, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
}

// The icon once the box shows it: a box that has only just come, or has
// just been moved, may not have painted its icon yet. Tried until
// `deadline` (a tick count), at least once; how long painting takes depends
// on the machine's load, so the bound is the command's own time limit.
std::string DrawnIconOf(HWND box, ULONGLONG deadline) {
  const HWND control = IconControl(box);
  if (control != nullptr) BringOnScreen(box, control);
  std::string icon = IconOf(box);
  while (icon == "unknown" && GetTickCount64() < deadline) {
    Sleep(kPollMs);
    icon = IconOf(box);
  }
  return icon;
}

// Waits for a box's icon at most this long past the command's own limit,
// so that `wait TITLE 0` still lets a box that is there paint.
constexpr DWORD kLeastPaintMs = 2000;

std::string Describe(HWND box, const std::wstring& title, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + std::max(timeoutMs, kLeastPaintMs);
  std::string buttons;
  std::string labels;
  for (int id : kButtons) {
    if (!HasButton(box, id)) continue;
    if (!buttons.empty()) buttons += ", ", labels += ", ";
    buttons += std::to_string(id);
    labels += JsonString(WindowText(GetDlgItem(box, id)));
  }
  const HWND textControl = GetDlgItem(box, kTextControlId);
  const std::wstring text = textControl != nullptr ? WindowText(textControl) : std::wstring();
  RECT frame = {};
  GetWindowRect(box, &frame);
  const std::string size = "[" + std::to_string(frame.right - frame.left) + ", " +
                           std::to_string(frame.bottom - frame.top) + "]";
  const std::string screen = "[" + std::to_string(GetSystemMetrics(SM_CXSCREEN)) + ", " +
                             std::to_string(GetSystemMetrics(SM_CYSCREEN)) + "]";
  return "{\"title\": " + JsonString(title) + ", \"text\": " + JsonString(text) +
         ", \"buttons\": [" + buttons + "], \"labels\": [" + labels + "], \"icon\": \"" +
         DrawnIconOf(box, deadline) + "\", \"size\": " + size + ", \"screen\": " + screen +
         ", \"count\": " + std::to_string(FindBoxes(title).size()) + "}";
}

// --- Commands ----------------------------------------------------------------

bool ParseNumber(const wchar_t* text, DWORD* value) {
  wchar_t* end = nullptr;
  const unsigned long parsed = std::wcstoul(text, &end, 0);
  if (end == text || *end != L'\0') return false;
  *value = static_cast<DWORD>(parsed);
  return true;
}

int Wait(const std::wstring& title, DWORD timeoutMs) {
  const HWND box = WaitForBox(title, timeoutMs);
  if (box == nullptr) {
    Err("no box titled \"" + Utf8(title) + "\" within " + std::to_string(timeoutMs) + " ms");
    return kNoBox;
  }
  Out(Describe(box, title, timeoutMs));
  return kOk;
}

// Waits until `box` has closed after `what` was done to it.
int WaitUntilGone(HWND box, DWORD timeoutMs, const std::string& what) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (IsWindow(box) && IsWindowVisible(box)) {
    if (GetTickCount64() >= deadline) {
      Err("the box did not close within " + std::to_string(timeoutMs) + " ms of " + what);
      return kBoxStayed;
    }
    Sleep(kPollMs);
  }
  return kOk;
}

int Press(const std::wstring& title, int id, DWORD timeoutMs) {
  const HWND box = WaitForBox(title, timeoutMs);
  if (box == nullptr) {
    Err("no box titled \"" + Utf8(title) + "\" within " + std::to_string(timeoutMs) + " ms");
    return kNoBox;
  }
  if (!HasButton(box, id)) {
    Err("the box has no button " + std::to_string(id) + ": " + Describe(box, title, timeoutMs));
    return kNoSuchButton;
  }
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
  return WaitUntilGone(box, timeoutMs, "pressing " + std::to_string(id));
}

int Close(const std::wstring& title, DWORD timeoutMs) {
  const HWND box = WaitForBox(title, timeoutMs);
  if (box == nullptr) {
    Err("no box titled \"" + Utf8(title) + "\" within " + std::to_string(timeoutMs) + " ms");
    return kNoBox;
  }
  PostMessageW(box, WM_CLOSE, 0, 0);
  return WaitUntilGone(box, timeoutMs, "WM_CLOSE");
}

int Absent(const std::wstring& title, DWORD ms) {
  const HWND box = WaitForBox(title, ms);
  if (box == nullptr) return kOk;
  Out(Describe(box, title, ms));
  Err("a box titled \"" + Utf8(title) + "\" came");
  return kBoxPresent;
}

int Locale() {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  wchar_t decimal[16] = {};
  if (GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) == 0 ||
      GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, decimal, 16) == 0) {
    Err("the user locale cannot be read: error " + std::to_string(GetLastError()));
    return kNoLocale;
  }
  Out("{\"name\": " + JsonString(name) + ", \"decimal\": " + JsonString(decimal) +
      ", \"acp\": " + std::to_string(GetACP()) + "}");
  return kOk;
}

int ShortName(const wchar_t* path) {
  wchar_t shortPath[MAX_PATH] = {};
  const DWORD length = GetShortPathNameW(path, shortPath, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    Err("no short name: error " + std::to_string(GetLastError()));
    return kNoLocale;
  }
  Out(Utf8(shortPath));
  return kOk;
}

// The argument as the C runtime of the started program splits it back.
std::wstring Quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// This process's environment with `settings` ("NAME=VALUE") put in, as the
// block CreateProcessW takes.
std::wstring Environment(const std::vector<std::wstring>& settings) {
  std::vector<std::wstring> entries;
  const LPWCH block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p != L'\0'; p += std::wcslen(p) + 1) entries.emplace_back(p);
  FreeEnvironmentStringsW(block);
  for (const std::wstring& setting : settings) {
    const std::wstring name = setting.substr(0, setting.find(L'='));
    // "=C:=C:\..." entries start with "=": their name runs to the second "=".
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const std::wstring& entry) {
                                   return SameName(entry.substr(0, entry.find(L'=', 1)), name);
                                 }),
                  entries.end());
    entries.push_back(setting);
  }
  std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
  });
  std::wstring result;
  for (const std::wstring& entry : entries) result += entry + L'\0';
  return result + L'\0';
}

int Run(const std::wstring& terminateWhen, const std::vector<std::wstring>& settings,
        const std::vector<std::wstring>& command) {
  std::wstring commandLine;
  for (const std::wstring& argument : command) {
    if (!commandLine.empty()) commandLine += L' ';
    commandLine += Quoted(argument);
  }
  std::wstring environment = Environment(settings);

  // The program must not outlive the driver when the suite gives up on it.
  const HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job != nullptr) {
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }

  // The program writes where the driver does, so that a console program's
  // output can be read.
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(command.front().c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, environment.data(), nullptr,
                      &startup, &process)) {
    Err("cannot start " + Utf8(command.front()) + ": error " + std::to_string(GetLastError()));
    return kCannotStart;
  }
  if (job != nullptr) AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  if (terminateWhen.empty()) {
    WaitForSingleObject(process.hProcess, INFINITE);
  } else {
    while (WaitForSingleObject(process.hProcess, 5) == WAIT_TIMEOUT) {
      if (GetFileAttributesW(terminateWhen.c_str()) != INVALID_FILE_ATTRIBUTES) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
      }
    }
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  return static_cast<int>(exitCode);
}

int Usage() {
  Err("usage: msgbox_driver wait TITLE TIMEOUT_MS | press TITLE BUTTON_ID TIMEOUT_MS | "
      "close TITLE TIMEOUT_MS | absent TITLE MS | locale | shortname PATH | run "
      "[--terminate-when PATH] [NAME=VALUE...] -- PROGRAM [ARG...]");
  return kUsage;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const std::wstring command = argv[1];
  DWORD number = 0;
  DWORD timeout = 0;
  if (command == L"wait" && argc == 4 && ParseNumber(argv[3], &timeout)) {
    return Wait(argv[2], timeout);
  }
  if (command == L"press" && argc == 5 && ParseNumber(argv[3], &number) &&
      ParseNumber(argv[4], &timeout)) {
    return Press(argv[2], static_cast<int>(number), timeout);
  }
  if (command == L"close" && argc == 4 && ParseNumber(argv[3], &timeout)) {
    return Close(argv[2], timeout);
  }
  if (command == L"absent" && argc == 4 && ParseNumber(argv[3], &timeout)) {
    return Absent(argv[2], timeout);
  }
  if (command == L"locale" && argc == 2) return Locale();
  if (command == L"shortname" && argc == 3) return ShortName(argv[2]);
  if (command == L"run") {
    std::vector<std::wstring> settings;
    std::wstring terminateWhen;
    int i = 2;
    if (i + 1 < argc && std::wcscmp(argv[i], L"--terminate-when") == 0) {
      terminateWhen = argv[i + 1];
      i += 2;
    }
    for (; i < argc && std::wcscmp(argv[i], L"--") != 0; ++i) {
      if (std::wcschr(argv[i], L'=') == nullptr || argv[i][0] == L'=') return Usage();
      settings.emplace_back(argv[i]);
    }
    if (i + 1 >= argc) return Usage();
    return Run(terminateWhen, settings, std::vector<std::wstring>(argv + i + 1, argv + argc));
  }
  return Usage();
}
