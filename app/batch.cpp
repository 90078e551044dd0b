#include "app/batch.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "app/convert.h"
#include "app/report.h"
#include "app/undo.h"
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

namespace {

// How many of the projects left a last box names.
constexpr std::size_t kMostProjectsShown = 20;

// A folder's path as the user writes it: without the separator at its end,
// unless it is a root such as "/" or "C:\" (a drive).
std::u16string WithoutTrailingSeparator(std::u16string folder) {
  if (folder.size() > 1 && (folder.back() == u'/' || folder.back() == u'\\') &&
      folder[folder.size() - 2] != u':') {
    folder.pop_back();
  }
  return folder;
}

// A folder or project file to work on, as its path was checked.
struct Target {
  PathEntry entry;
  bool folder;
};

// The folder or project file that `path` names, or why it names neither.
std::optional<Target> TargetOf(Platform& platform, const std::u16string& path,
                               std::u16string& problem) {
  PathEntry entry = platform.LookUpPath(path);
  switch (entry.kind) {
    case PathEntry::Kind::kFolder:
      return Target{std::move(entry), true};
    case PathEntry::Kind::kRegularFile:
      if (IsProjectFileName(entry.name)) return Target{std::move(entry), false};
      break;
    case PathEntry::Kind::kNothing:
      problem = entry.reason;
      return std::nullopt;
    case PathEntry::Kind::kOther:
      break;
  }
  problem = u"neither a folder nor a project file (*.lst)";
  return std::nullopt;
}

// The folders and project files that `paths` name, each once, or nothing
// with the lines that say which paths name neither, and why.
std::optional<std::vector<Target>> TargetsOf(Platform& platform,
                                             const std::vector<std::u16string>& paths,
                                             std::u16string& problems) {
  std::vector<Target> targets;
  for (const std::u16string& path : paths) {
    std::u16string problem;
    std::optional<Target> target = TargetOf(platform, path, problem);
    if (!target) {
      problems += path + u": " + problem + u"\n";
    } else if (std::none_of(targets.begin(), targets.end(), [&](const Target& other) {
                 return other.entry.identity.volume == target->entry.identity.volume &&
                        other.entry.identity.file == target->entry.identity.file;
               })) {
      targets.push_back(std::move(*target));
    }
  }
  if (!problems.empty()) return std::nullopt;
  return targets;
}

}  // namespace

int RunBatch(Platform& platform, const Request& request) {
  if (!platform.Startup()) {
    platform.WriteConsoleText(std::u16string(kStartupFailureMessage));
    return 1;
  }
  std::vector<Target> targets;
  bool failed = false;
  if (request.paths.empty()) {
    std::u16string problem;
    if (std::optional<Target> here = TargetOf(platform, u".", problem)) {
      targets.push_back(*here);
    } else {
      platform.ShowError(u".: " + problem + u"\n");
      failed = true;
    }
  } else {
    std::u16string problems;
    std::optional<std::vector<Target>> named = TargetsOf(platform, request.paths, problems);
    if (!named) {
      platform.ShowError(problems);
      platform.WriteErrorText(std::u16string(kUsageLine));
      return 2;
    }
    targets = std::move(*named);
  }
  ProjectReport report(platform, request.verbose);
  for (const Target& target : targets) {
    if (platform.Interrupted()) break;
    const std::u16string& folder = target.entry.folder;
    // Another run's temporary files are its own while it lives; a killed
    // run's are spare names and incomplete copies, never a project's only
    // copy.
    if (platform.LockDirectory(folder) && target.folder) platform.RemoveLeftoverFiles(folder);
    std::vector<std::u16string> names{target.entry.name};
    if (target.folder) {
      DirectoryListing listing = platform.ListDirectory(folder);
      if (!listing.failure.empty()) {
        platform.ShowError(WithoutTrailingSeparator(folder) + u": " + listing.failure + u"\n");
        failed = true;
      }
      names = ProjectFileNames(std::move(listing.names));
    }
    for (const std::u16string& name : names) {
      if (platform.Interrupted()) break;
      if (request.undo) {
        UndoProjectFile(platform, folder + name, report);
      } else {
        ConvertProjectFile(platform, folder + name, report);
      }
    }
    // What was begun in the folder ends before its lock is let go.
    platform.Finish();
  }
  platform.Finish();
  report.WriteCounts(request.undo);
  // A window that closes at the end would take the -v lines with it.
  if (report.left() > 0) {
    platform.ShowOnOwnConsole(u"Left as they were, for a failed file operation:\n" +
                              report.LeftProjects(kMostProjectsShown));
  }
  return failed || report.left() > 0 ? 3 : 0;
}

}  // namespace lstconvert
