// Linked into lstconvert_faults.exe, the program itself with this one object
// more: before main runs, it points the executable's import address table
// entries of the file, memory and console calls at hooks that count the
// calls of each function and act at one chosen call. The program calls
// Windows exactly as lstconvert.exe does; only the table is changed.
//
//   LSTCONVERT_FAULT=FUNCTION:N:ACTION   what to do at the N-th call of FUNCTION:
//     an error's name (ERROR_DISK_FULL) or number: the call fails with it;
//     kill: TerminateProcess before the call; save: the file named by
//     LSTCONVERT_FAULT_SAVE is written anew before the call, as a user
//     saving it in the designer would.
//   LSTCONVERT_FAULT_LOG=PATH   where to write, at the end, "count FUNCTION n"
//     for every function, and as they happen "fired ..." and "violation: ...".
//
// A violation is a temporary file whose write, flush or close failed and
// that was put in a project's or a backup's place all the same. Memory calls
// are counted from the program's first look at its command line on: the C
// runtime's start-up before it is not the program's to handle. The program
// runs on one thread on Windows; its Ctrl+C handler makes none of these calls.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <set>
#include <string>

namespace {

// clang-format off
enum Function {
  kCreateFileW, kReadFile, kWriteFile, kFlushFileBuffers, kCloseHandle,
  kGetFileInformationByHandle, kGetFileAttributesW, kSetFileAttributesW, kCopyFileExW,
  kMoveFileExW, kReplaceFileW, kDeleteFileW, kFindFirstFileExW, kFindNextFileW, kMalloc,
  kFunctionCount
};
const char* const kNames[kFunctionCount] = {
  "CreateFileW", "ReadFile", "WriteFile", "FlushFileBuffers", "CloseHandle",
  "GetFileInformationByHandle", "GetFileAttributesW", "SetFileAttributesW", "CopyFileExW",
  "MoveFileExW", "ReplaceFileW", "DeleteFileW", "FindFirstFileExW", "FindNextFileW", "malloc"};
#define NAMED(error) {#error, error}
const struct { const char* name; DWORD code; } kErrors[] = {
  NAMED(ERROR_ACCESS_DENIED), NAMED(ERROR_SHARING_VIOLATION), NAMED(ERROR_LOCK_VIOLATION),
  NAMED(ERROR_DISK_FULL), NAMED(ERROR_HANDLE_DISK_FULL), NAMED(ERROR_NETNAME_DELETED),
  NAMED(ERROR_UNEXP_NET_ERR), NAMED(ERROR_NOT_ENOUGH_MEMORY), NAMED(ERROR_IO_DEVICE),
  NAMED(ERROR_WRITE_PROTECT), NAMED(ERROR_FILE_NOT_FOUND), NAMED(ERROR_UNABLE_TO_REMOVE_REPLACED),
  NAMED(ERROR_UNABLE_TO_MOVE_REPLACEMENT), NAMED(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)};
// clang-format on

enum class Action { kNone, kFail, kKill, kSave };
struct {
  int function = -1;
  unsigned long call = 0;
  Action action = Action::kNone;
  DWORD error = 0;
} fault;
unsigned long calls[kFunctionCount];
bool countMemory = false;
bool inside = false;  // in a hook: the injector's own calls are not counted
std::map<HANDLE, std::wstring>* handlePaths;
std::set<HANDLE>* writers;        // handles open for writing
std::set<std::wstring>* tainted;  // temporaries whose write, flush or close failed
// Whether the program looked at the version of the file to be saved since it
// last read it: a save after that look is in the window that no check closes.
bool lookedSinceRead = false;

// The originals, filled in as the table is patched.
decltype(&CreateFileW) RealCreateFileW;
decltype(&ReadFile) RealReadFile;
decltype(&WriteFile) RealWriteFile;
decltype(&FlushFileBuffers) RealFlushFileBuffers;
decltype(&CloseHandle) RealCloseHandle;
decltype(&GetFileInformationByHandle) RealGetFileInformationByHandle;
decltype(&GetFileAttributesW) RealGetFileAttributesW;
decltype(&SetFileAttributesW) RealSetFileAttributesW;
decltype(&CopyFileExW) RealCopyFileExW;
decltype(&MoveFileExW) RealMoveFileExW;
decltype(&ReplaceFileW) RealReplaceFileW;
decltype(&DeleteFileW) RealDeleteFileW;
decltype(&FindFirstFileExW) RealFindFirstFileExW;
decltype(&FindNextFileW) RealFindNextFileW;
decltype(&GetCommandLineW) RealGetCommandLineW;
void* (*Realmalloc)(size_t);

void Log(const std::string& line) {
  const char* path = std::getenv("LSTCONVERT_FAULT_LOG");
  if (path == nullptr || RealCreateFileW == nullptr) return;
  const std::wstring wide(path, path + std::strlen(path));
  const HANDLE log = RealCreateFileW(wide.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                     OPEN_ALWAYS, 0, nullptr);
  if (log == INVALID_HANDLE_VALUE) return;
  const std::string text = line + "\n";
  DWORD written = 0;
  RealWriteFile(log, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  RealCloseHandle(log);
}

std::wstring Normal(const wchar_t* path) {
  std::wstring normal(path == nullptr ? L"" : path);
  if (normal.rfind(L"\\\\?\\", 0) == 0) normal.erase(0, 4);
  for (wchar_t& unit : normal) unit = static_cast<wchar_t>(towlower(unit));
  return normal;
}

bool IsSaved(HANDLE file) {
  const char* path = std::getenv("LSTCONVERT_FAULT_SAVE");
  const auto known = handlePaths->find(file);
  return path != nullptr && known != handlePaths->end() &&
         known->second == Normal(std::wstring(path, path + std::strlen(path)).c_str());
}

std::string Narrow(const std::wstring& wide) { return std::string(wide.begin(), wide.end()); }

// Rewrites the file a user is said to save meanwhile, with the injector's
// own calls.
void SaveMeanwhile() {
  const char* path = std::getenv("LSTCONVERT_FAULT_SAVE");
  if (path == nullptr) return;
  const std::wstring wide(path, path + std::strlen(path));
  const HANDLE file = RealCreateFileW(wide.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, TRUNCATE_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Log("save failed " + std::to_string(GetLastError()));
  const char text[] = "[Project]\r\n  TableID=Partlist\r\n  Saved=again\r\n";
  DWORD written = 0;
  RealWriteFile(file, text, sizeof text - 1, &written, nullptr);
  RealCloseHandle(file);
  Log(lookedSinceRead ? "saved, looked at its version since the read" : "saved");
}

// Counts a call of `function`; true where it is the one to fail, whose
// error is then the last error.
bool Fails(Function function) {
  if (function == kMalloc && !countMemory) {
    return false;
  }
  if (++calls[function] != fault.call || function != fault.function) return false;
  Log(std::string("fired ") + kNames[function] + " " + std::to_string(fault.call));
  switch (fault.action) {
    case Action::kKill:
      TerminateProcess(GetCurrentProcess(), 9);
      return false;
    case Action::kSave:
      SaveMeanwhile();
      return false;
    case Action::kFail:
      SetLastError(fault.error);
      return true;
    case Action::kNone:
      break;
  }
  return false;
}

// Holds `inside` for one hook, so that what the hook itself calls is not counted.
struct Hook {
  bool outer = !inside;
  Hook() { inside = true; }
  ~Hook() { inside = !outer; }
  bool Fails(Function function) const { return outer && ::Fails(function); }
};

void Taint(HANDLE file) {
  const auto known = handlePaths->find(file);
  if (known != handlePaths->end() && writers->count(file) != 0) tainted->insert(known->second);
}

void CheckPutInPlace(const wchar_t* source, const char* how) {
  if (tainted->count(Normal(source)) != 0) {
    Log(std::string("violation: ") + Narrow(Normal(source)) + " put in place by " + how +
        " after its write, flush or close failed");
  }
}

HANDLE WINAPI HookCreateFileW(LPCWSTR name, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE copy) {
  Hook hook;
  if (hook.Fails(kCreateFileW)) return INVALID_HANDLE_VALUE;
  const HANDLE file = RealCreateFileW(name, access, share, security, disposition, flags, copy);
  if (file == INVALID_HANDLE_VALUE) return file;
  (*handlePaths)[file] = Normal(name);
  if ((access & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0) {
    writers->insert(file);
  } else {
    writers->erase(file);
  }
  return file;
}
BOOL WINAPI HookReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED over) {
  Hook hook;
  if (IsSaved(file)) lookedSinceRead = false;
  if (!hook.Fails(kReadFile)) return RealReadFile(file, buffer, size, got, over);
  if (got != nullptr) *got = 0;
  return FALSE;
}
// A failed write has written the first half, as a disk that fills up does.
BOOL WINAPI HookWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                          LPOVERLAPPED over) {
  Hook hook;
  if (!hook.Fails(kWriteFile)) return RealWriteFile(file, data, size, written, over);
  const DWORD error = GetLastError();
  RealWriteFile(file, data, size / 2, written, over);
  if (handlePaths->count(file) == 0) Log("fired on the program's output");
  Taint(file);
  SetLastError(error);
  return FALSE;
}
BOOL WINAPI HookFlushFileBuffers(HANDLE file) {
  Hook hook;
  if (!hook.Fails(kFlushFileBuffers)) return RealFlushFileBuffers(file);
  Taint(file);
  return FALSE;
}
// A failed close has closed the handle all the same, as Windows does.
BOOL WINAPI HookCloseHandle(HANDLE object) {
  Hook hook;
  const bool fails = hook.Fails(kCloseHandle);
  const DWORD error = GetLastError();
  if (fails) Taint(object);
  const BOOL closed = RealCloseHandle(object);
  handlePaths->erase(object);
  writers->erase(object);
  if (!fails) return closed;
  SetLastError(error);
  return FALSE;
}
BOOL WINAPI HookGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  Hook hook;
  if (IsSaved(file)) lookedSinceRead = true;
  return hook.Fails(kGetFileInformationByHandle) ? FALSE
                                                 : RealGetFileInformationByHandle(file, info);
}
DWORD WINAPI HookGetFileAttributesW(LPCWSTR name) {
  Hook hook;
  return hook.Fails(kGetFileAttributesW) ? INVALID_FILE_ATTRIBUTES : RealGetFileAttributesW(name);
}
BOOL WINAPI HookSetFileAttributesW(LPCWSTR name, DWORD attributes) {
  Hook hook;
  return hook.Fails(kSetFileAttributesW) ? FALSE : RealSetFileAttributesW(name, attributes);
}
BOOL WINAPI HookCopyFileExW(LPCWSTR from, LPCWSTR to, LPPROGRESS_ROUTINE progress, LPVOID data,
                            LPBOOL cancel, DWORD flags) {
  Hook hook;
  return hook.Fails(kCopyFileExW) ? FALSE
                                  : RealCopyFileExW(from, to, progress, data, cancel, flags);
}
BOOL WINAPI HookMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  Hook hook;
  if (hook.Fails(kMoveFileExW)) return FALSE;
  const BOOL moved = RealMoveFileExW(from, to, flags);
  if (moved) CheckPutInPlace(from, "MoveFileExW");
  return moved;
}
// The replacement's own failures leave what Windows documents: without a
// backup name, ..._MOVE_REPLACEMENT and ..._2 leave the replaced file gone
// from its place (the second moves it to a name the caller does not know).
BOOL WINAPI HookReplaceFileW(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags,
                             LPVOID exclude, LPVOID reserved) {
  Hook hook;
  if (hook.Fails(kReplaceFileW)) {
    const DWORD error = GetLastError();
    if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
      RealDeleteFileW(replaced);
    }
    SetLastError(error);
    return FALSE;
  }
  const BOOL done = RealReplaceFileW(replaced, replacement, backup, flags, exclude, reserved);
  if (done) CheckPutInPlace(replacement, "ReplaceFileW");
  return done;
}
BOOL WINAPI HookDeleteFileW(LPCWSTR name) {
  Hook hook;
  return hook.Fails(kDeleteFileW) ? FALSE : RealDeleteFileW(name);
}
HANDLE WINAPI HookFindFirstFileExW(LPCWSTR name, FINDEX_INFO_LEVELS level, LPVOID found,
                                   FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags) {
  Hook hook;
  return hook.Fails(kFindFirstFileExW)
             ? INVALID_HANDLE_VALUE
             : RealFindFirstFileExW(name, level, found, search, filter, flags);
}
BOOL WINAPI HookFindNextFileW(HANDLE search, LPWIN32_FIND_DATAW found) {
  Hook hook;
  return hook.Fails(kFindNextFileW) ? FALSE : RealFindNextFileW(search, found);
}
LPWSTR WINAPI HookGetCommandLineW() {
  countMemory = true;
  return RealGetCommandLineW();
}
void* Hookmalloc(size_t size) {
  Hook hook;
  if (!hook.Fails(kMalloc)) return Realmalloc(size);
  errno = ENOMEM;
  return nullptr;
}

// Points the import of `name` at `hook`, keeping the original in `*real`.
void PatchImport(const char* name, void* hook, void** real) {
  const auto base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  const auto dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  const auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       module->Name != 0; ++module) {
    auto names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
    auto slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0) continue;
      DWORD old = 0;
      VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old);
      *real = reinterpret_cast<void*>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
      VirtualProtect(&slots->u1.Function, sizeof(void*), old, &old);
      return;
    }
  }
  std::fprintf(stderr, "fault injector: %s is not imported\n", name);
  std::exit(125);
}

#define PATCH(function)                                            \
  PatchImport(#function, reinterpret_cast<void*>(&Hook##function), \
              reinterpret_cast<void**>(&Real##function))

void WriteCounts() {
  inside = true;
  std::string counts;
  for (int function = 0; function < kFunctionCount; ++function) {
    counts += std::string(counts.empty() ? "" : "\n") + "count " + kNames[function] + " " +
              std::to_string(calls[function]);
  }
  Log(counts);
}

// Reads LSTCONVERT_FAULT and patches the table, before main.
const bool installed = [] {
  handlePaths = new std::map<HANDLE, std::wstring>;
  tainted = new std::set<std::wstring>;
  writers = new std::set<HANDLE>;
  // clang-format off
  PATCH(CreateFileW); PATCH(ReadFile); PATCH(WriteFile); PATCH(FlushFileBuffers);
  PATCH(CloseHandle); PATCH(GetFileInformationByHandle); PATCH(GetFileAttributesW);
  PATCH(SetFileAttributesW); PATCH(CopyFileExW); PATCH(MoveFileExW); PATCH(ReplaceFileW);
  PATCH(DeleteFileW); PATCH(FindFirstFileExW); PATCH(FindNextFileW); PATCH(GetCommandLineW);
  PATCH(malloc);
  // clang-format on
  if (const char* wanted = std::getenv("LSTCONVERT_FAULT")) {
    char function[64] = {}, action[64] = {};
    unsigned long call = 0;
    if (std::sscanf(wanted, "%63[^:]:%lu:%63s", function, &call, action) != 3) {
      std::fprintf(stderr, "fault injector: LSTCONVERT_FAULT=%s is not FUNCTION:N:ACTION\n",
                   wanted);
      std::exit(125);
    }
    for (int f = 0; f < kFunctionCount; ++f) {
      if (std::strcmp(kNames[f], function) == 0) fault.function = f;
    }
    fault.call = call;
    fault.action = std::strcmp(action, "kill") == 0   ? Action::kKill
                   : std::strcmp(action, "save") == 0 ? Action::kSave
                                                      : Action::kFail;
    fault.error = static_cast<DWORD>(std::strtoul(action, nullptr, 0));
    for (const auto& error : kErrors) {
      if (std::strcmp(error.name, action) == 0) fault.error = error.code;
    }
    if (fault.function < 0 || (fault.action == Action::kFail && fault.error == 0)) {
      std::fprintf(stderr, "fault injector: unknown function or action in %s\n", wanted);
      std::exit(125);
    }
  }
  std::atexit(WriteCounts);
  return true;
}();

}  // namespace
