// Holds files open for reading, as the report designer, a virus scanner or
// the search indexer does, while it runs a program:
//
//   hold_file [--ctrl-c-at-box] (PATH none|read MILLISECONDS|end)... PROGRAM
//   hold_file --own-console PROGRAM [ARGUMENT]...
//
// "none" lets no other program open the file meanwhile, "read" lets them
// read it. Each file is let go after its MILLISECONDS from the start, in the
// order given, or with "end" once the program has ended. With
// --ctrl-c-at-box the program gets a console of its own, shared with
// hold_file only, and Ctrl+C is pressed in it, three times, once the program
// shows its first message box. With --own-console the program gets a new
// console that it shares with no other process, as when Explorer starts it,
// and each of its message boxes is dismissed with its OK button once it has
// been shown for 2 s: under Wine, keys pressed by the tests often miss a box
// whose program has a console of its own. Tells on standard error
// when it let each file go, when it pressed Ctrl+C and how long the program ran, and exits with the
// program's exit status.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Returns TRUE for Ctrl+C: hold_file is not stopped by the Ctrl+C it presses.
// Ignoring Ctrl+C with a null handler would be inherited by the program.
BOOL WINAPI KeepRunning(DWORD) { return TRUE; }

// Waits for a window captioned "lstconvert", the program's message box, then
// presses Ctrl+C in the console three times, 300 ms apart: under Wine a
// press right after the box appears is now and then not delivered.
void PressCtrlCAtBox(HANDLE process) {
  while (FindWindowA(nullptr, "lstconvert") == nullptr) {
    if (WaitForSingleObject(process, 50) != WAIT_TIMEOUT) return;
  }
  for (int press = 0; press < 3; ++press) {
    if (WaitForSingleObject(process, 300) != WAIT_TIMEOUT) return;
    const BOOL sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    std::fprintf(stderr, "hold_file: pressed Ctrl+C (%s)\n", sent ? "sent" : "failed");
  }
}

// Dismisses each box of the program with its OK button once it has been
// shown for 2 s, until the program ends.
void PressOkOnBoxes(HANDLE process) {
  HWND seen = nullptr;
  ULONGLONG since = 0;
  while (WaitForSingleObject(process, 100) == WAIT_TIMEOUT) {
    const HWND box = FindWindowA(nullptr, "lstconvert");
    if (box != seen) {
      seen = box;
      since = GetTickCount64();
    } else if (box != nullptr && GetTickCount64() - since > 2000) {
      PostMessageA(box, WM_COMMAND, IDOK, 0);
      since = GetTickCount64();
    }
  }
}

int main(int argc, char** argv) {
  const bool ctrlC = argc > 1 && std::strcmp(argv[1], "--ctrl-c-at-box") == 0;
  const bool ownConsole = argc > 1 && std::strcmp(argv[1], "--own-console") == 0;
  if (ctrlC || ownConsole) {
    --argc;
    ++argv;
  }
  // With a console of its own, the program comes first and its arguments after it.
  const int program = ownConsole ? 1 : argc - 1;
  if (argc < 2 || (!ownConsole && (argc - 2) % 3 != 0)) {
    std::fprintf(stderr,
                 "usage: hold_file [--ctrl-c-at-box] (PATH none|read MILLISECONDS|end)... PROGRAM\n"
                 "       hold_file --own-console PROGRAM [ARGUMENT]...\n");
    return 2;
  }
  if (ctrlC) FreeConsole();
  if (ctrlC && (!AllocConsole() || !SetConsoleCtrlHandler(KeepRunning, TRUE))) {
    std::fprintf(stderr, "hold_file: no console of its own (error %lu)\n", GetLastError());
    return 2;
  }
  std::vector<HANDLE> held;
  for (int i = 1; i < program; i += 3) {
    const DWORD share = std::strcmp(argv[i + 1], "read") == 0 ? FILE_SHARE_READ : 0;
    // Not inheritable: the program must not hold the file itself.
    held.push_back(CreateFileA(argv[i], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
    if (held.back() == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "hold_file: cannot open %s (error %lu)\n", argv[i], GetLastError());
      return 2;
    }
  }
  std::string commandLine = std::string("\"") + argv[program] + "\"";
  for (int i = program + 1; i < argc; ++i) commandLine += std::string(" \"") + argv[i] + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  const ULONGLONG start = GetTickCount64();
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                      ownConsole ? CREATE_NEW_CONSOLE : 0, nullptr, nullptr, &startup, &process)) {
    std::fprintf(stderr, "hold_file: cannot start %s (error %lu)\n", argv[program], GetLastError());
    return 2;
  }
  if (ctrlC) PressCtrlCAtBox(process.hProcess);
  if (ownConsole) PressOkOnBoxes(process.hProcess);
  for (std::size_t i = 0; i < held.size(); ++i) {
    const char* const* file = argv + 1 + 3 * i;  // its path, sharing and time
    DWORD wait = INFINITE;
    if (std::strcmp(file[2], "end") != 0) {
      const ULONGLONG until = std::strtoull(file[2], nullptr, 10), now = GetTickCount64() - start;
      wait = until > now ? static_cast<DWORD>(until - now) : 0;
    }
    WaitForSingleObject(process.hProcess, wait);
    CloseHandle(held[i]);
    std::fprintf(stderr, "hold_file: let %s go after %llu ms\n", file[0], GetTickCount64() - start);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  const ULONGLONG ran = GetTickCount64() - start;
  DWORD status = 2;
  GetExitCodeProcess(process.hProcess, &status);
  std::fprintf(stderr, "hold_file: the program ran %llu ms\n", ran);
  return static_cast<int>(status);
}
