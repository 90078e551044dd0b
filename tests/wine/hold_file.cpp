// Holds a file open for reading, as the report designer, a virus scanner or
// the search indexer does, while it runs a program:
//
//   hold_file PATH none|read MILLISECONDS|end PROGRAM
//
// "none" lets no other program open the file meanwhile, "read" lets them
// read it. The file is let go after MILLISECONDS, or with "end" once the
// program has ended. Tells on standard error when it let go and how long the
// program ran, and exits with the program's exit status.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: hold_file PATH none|read MILLISECONDS|end PROGRAM\n");
    return 2;
  }
  const DWORD share = std::strcmp(argv[2], "read") == 0 ? FILE_SHARE_READ : 0;
  const DWORD hold =
      std::strcmp(argv[3], "end") == 0 ? INFINITE : std::strtoul(argv[3], nullptr, 10);
  // Not inheritable: the program must not hold the file itself.
  const HANDLE held = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "hold_file: cannot open %s (error %lu)\n", argv[1], GetLastError());
    return 2;
  }
  std::string commandLine = std::string("\"") + argv[4] + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  const ULONGLONG start = GetTickCount64();
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::fprintf(stderr, "hold_file: cannot start %s (error %lu)\n", argv[4], GetLastError());
    return 2;
  }
  WaitForSingleObject(process.hProcess, hold);
  CloseHandle(held);
  const ULONGLONG released = GetTickCount64() - start;
  WaitForSingleObject(process.hProcess, INFINITE);
  const ULONGLONG ran = GetTickCount64() - start;
  DWORD status = 2;
  GetExitCodeProcess(process.hProcess, &status);
  std::fprintf(stderr, "hold_file: let %s go after %llu ms; the program ran %llu ms\n", argv[1],
               released, ran);
  return static_cast<int>(status);
}
