// The retries of the Windows file operations, on real files.
#include "platform/win32_files.h"

#include <gtest/gtest.h>

#include "file_helpers.h"

namespace lstconvert {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;
using testing::WriteFile;

TEST(Win32Retries, OnlyHeldLockedAndMomentarilyDeniedFilesAreRetried) {
  TemporaryDirectory directory;
  WriteFile(directory / "file", "x");
  WriteFile(directory / "read-only", "x");
  fs::permissions(directory / "read-only", fs::perms::all, fs::perm_options::remove);
  fs::permissions(directory / "read-only", fs::perms::owner_read, fs::perm_options::add);
  const struct {
    DWORD error;
    const char* target;
    bool transient;
  } cases[] = {
      {ERROR_SHARING_VIOLATION, "file", true}, {ERROR_LOCK_VIOLATION, "read-only", true},
      {ERROR_ACCESS_DENIED, "file", true},     {ERROR_ACCESS_DENIED, "read-only", false},
      {ERROR_ACCESS_DENIED, ".", false},       {ERROR_ACCESS_DENIED, "missing", false},
      {ERROR_FILE_NOT_FOUND, "file", false},   {ERROR_DISK_FULL, "file", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsTransientFailure(c.error, (directory / c.target).u16string()), c.transient)
        << c.error << " " << c.target;
  }
  fs::permissions(directory / "read-only", fs::perms::owner_write, fs::perm_options::add);
}

TEST(Win32Retries, TransientFailuresAreTriedAgainUntilTheBudgetIsSpent) {
  TemporaryDirectory directory;
  WriteFile(directory / "file", "x");
  const std::u16string file = (directory / "file").u16string();
  const auto failing = [](int& calls, int failures, DWORD error) {
    return [&calls, failures, error] {
      SetLastError(error);
      return ++calls > failures;
    };
  };
  int calls = 0;
  RetryBudget budget(1000);
  EXPECT_EQ(budget.Retry(file, failing(calls, 3, ERROR_SHARING_VIOLATION)), ERROR_SUCCESS);
  EXPECT_EQ(calls, 4);
  calls = 0;
  EXPECT_EQ(budget.Retry(file, failing(calls, 3, ERROR_FILE_NOT_FOUND)), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(calls, 1);
  calls = 0;
  RetryBudget small(20);
  EXPECT_EQ(small.Retry(file, failing(calls, 1000, ERROR_SHARING_VIOLATION)),
            ERROR_SHARING_VIOLATION);
  EXPECT_GT(calls, 1);
  calls = 0;
  EXPECT_EQ(small.Retry(file, failing(calls, 1000, ERROR_LOCK_VIOLATION)), ERROR_LOCK_VIOLATION);
  EXPECT_EQ(calls, 1);  // spent: one try, no wait
}

}  // namespace
}  // namespace lstconvert
