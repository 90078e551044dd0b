#include "app/batch.h"

#include <algorithm>
#include <vector>

#include "app/convert.h"
#include "rewrite/strings.h"

namespace lstconvert {
namespace {

// The project files among the directory's entries, in conversion order. The
// list is complete before the first conversion, so a file that a conversion
// re-creates is never met again.
std::vector<std::u16string> ProjectFileNames(std::vector<std::u16string> names) {
  std::erase_if(names, [](const std::u16string& name) { return !IsProjectFileName(name); });
  std::sort(names.begin(), names.end(), ProjectFileNameLess);
  return names;
}

}  // namespace

bool IsProjectFileName(std::u16string_view name) {
  constexpr std::u16string_view kExtension = u".lst";
  if (name.size() < kExtension.size()) return false;
  const std::u16string_view tail = name.substr(name.size() - kExtension.size());
  return std::equal(tail.begin(), tail.end(), kExtension.begin(),
                    [](char16_t a, char16_t b) { return ToLowerCase(a) == b; });
}

bool ProjectFileNameLess(std::u16string_view a, std::u16string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const char16_t x = ToLowerCase(a[i]);
    const char16_t y = ToLowerCase(b[i]);
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

int RunBatch(Platform& platform) {
  if (!platform.Startup()) {
    platform.WriteConsoleText(std::u16string(kStartupFailureMessage));
    return 1;
  }
  // Another run's temporary files are its own while it lives; a killed
  // run's are spare names and incomplete copies, never a project's only copy.
  if (platform.LockCurrentDirectory()) platform.RemoveLeftoverFiles();
  DirectoryListing listing = platform.ListCurrentDirectory();
  for (const std::u16string& name : ProjectFileNames(std::move(listing.names))) {
    if (platform.Interrupted()) break;
    ConvertProjectFile(platform, listing.directory + name);
  }
  platform.Finish();
  return 0;
}

}  // namespace lstconvert
