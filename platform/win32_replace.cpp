// Replacing files on Windows: a converted project is written beside it under
// a unique temporary name, flushed, and put in the project's place by
// ReplaceFileW, which keeps the project's own metadata; each step that
// another program can block is tried again (RetryBudget).
#include <functional>
#include <optional>
#include <string>

#include "platform/win32_files.h"

namespace lstconvert {
namespace {

bool WriteAll(HANDLE file, const Bytes& content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const std::size_t left = content.size() - done;
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!::WriteFile(file, content.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

// After `replace` failed with ERROR_UNABLE_TO_MOVE_REPLACEMENT (the replaced
// file may no longer exist) or ..._2 (it may exist under another name), the
// temporary file holds the complete new content and has taken over the
// project's metadata. It is moved to `target`, on a budget of its own since
// the project's bytes are at stake, unless a file is there again; it is
// deleted only then, and otherwise left where it is.
bool PutInPlace(const std::u16string& temporary, const std::u16string& target, DWORD allowance) {
  RetryBudget restore(allowance);
  if (MoveOver(temporary, target, false, std::nullopt, restore)) return true;
  const DWORD attributes = GetFileAttributesW(Wide(target));
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    DeleteTemporary(temporary, restore);
  }
  return false;
}

// Deletes the temporary file at `temporary` and fails with the last error
// `error`, which the deletion would otherwise take the place of.
bool DeleteAndFail(const std::u16string& temporary, RetryBudget& budget, DWORD error) {
  DeleteTemporary(temporary, budget);
  SetLastError(error);
  return false;
}

}  // namespace

bool ReplaceKeepingMetadata(const std::u16string& replaced, const std::u16string& replacement) {
  return ReplaceFileW(Wide(replaced), Wide(replacement), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                      nullptr, nullptr) != 0;
}

Outcome ReplaceableVersion(const std::u16string& path, const FileVersion& read) {
  const std::u16string target = ExtendedPath(path);
  const DWORD attributes = GetFileAttributesW(Wide(target));
  if (attributes == INVALID_FILE_ATTRIBUTES) return {u"not opened again", ReasonOf(GetLastError())};
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return {std::u16string(kChangedStep), {}};
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return {u"read-only", {}};
  Handle file(CreateFileW(Wide(target), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info)) {
    return {u"not opened again", ReasonOf(GetLastError())};
  }
  if (VersionOf(info) != read) return {std::u16string(kChangedStep), {}};
  return {};
}

bool ReplaceRegularFile(const std::u16string& path, const Bytes& content, const FileVersion& read,
                        RetryBudget& budget, const ReplaceCall& replace) {
  const std::u16string target = ExtendedPath(path);
  const DWORD attributes = GetFileAttributesW(Wide(target));
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return false;
  }
  Handle file;
  const std::u16string temporary =
      NewTemporaryBeside(target, target, budget, [&](const std::u16string& name) {
        return file.Reset(CreateFileW(Wide(name), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_HIDDEN, nullptr));
      });
  if (temporary.empty()) return false;
  std::function<bool()> attempt;
  try {
    // Hidden until then, the file gets the project's attributes here:
    // ReplaceFileW gives it them as well, but Wine's does not.
    if (!WriteAll(file.get(), content) || !FlushFileBuffers(file.get()) || !file.Close() ||
        !SetFileAttributesW(Wide(temporary), SettableAttributes(attributes))) {
      const DWORD error = GetLastError();
      if (file.valid()) file.Close();
      return DeleteAndFail(temporary, budget, error);
    }
    // A link becomes a regular file and its target is left alone; it has no
    // metadata of its own worth keeping.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return MoveOver(temporary, target, true, read, budget) ||
             DeleteAndFail(temporary, budget, GetLastError());
    }
    attempt = [&] { return IsStillVersion(target, read) && replace(target, temporary); };
  } catch (...) {
    // A want of memory before the replacement is tried: nothing of it stays.
    // Once tried, a failed replacement may leave the project's content in
    // the temporary file alone, so from there on it is never deleted so.
    RetryBudget once(0);
    DeleteTemporary(temporary, once);
    throw;
  }
  const DWORD error = budget.Retry(target, attempt);
  if (error == ERROR_SUCCESS) {
    // ReplaceFileW cannot be asked to write through; the flush makes the
    // replacement durable. It never decides the outcome.
    RetryBudget once(0);
    FlushFile(target, once);
    return true;
  }
  if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
    if (PutInPlace(temporary, target, budget.allowance())) return true;
    SetLastError(error);
    return false;
  }
  return DeleteAndFail(temporary, budget, error);
}

}  // namespace lstconvert
