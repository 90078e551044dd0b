#include "app/batch.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "app/convert.h"
#include "app/preview.h"
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

// One run over its folders and project files.
class Batch {
 public:
  Batch(Platform& platform, const Request& request, const std::vector<Target>& targets)
      : platform_(platform),
        request_(request),
        targets_(targets),
        report_(platform, request.verbose || request.dryRun, request.dryRun) {}

  // Works through every target in turn, until the user interrupts the run.
  // Whether a folder could not be listed.
  bool Run() {
    for (const Target& target : targets_) {
      if (platform_.Interrupted()) break;
      if (!target.folder) {
        Lock(target.entry.folder);
        Project(target.entry.folder + target.entry.name);
        platform_.Finish();
      } else if (!request_.recursive) {
        Folder(target.entry.folder);
      } else {
        Tree(target.entry.folder);
      }
    }
    platform_.Finish();
    return unlisted_;
  }

  ProjectReport& report() { return report_; }

 private:
  // Waits for and keeps out other runs in `folder`; a dry run changes
  // nothing, so it takes no lock.
  bool Lock(const std::u16string& folder) {
    return !request_.dryRun && platform_.LockDirectory(folder);
  }

  void Project(const std::u16string& path) {
    if (request_.undo) {
      UndoProjectFile(platform_, path, report_, request_.dryRun);
    } else if (request_.dryRun) {
      PreviewProjectFile(platform_, path, report_, request_.diff);
    } else {
      ConvertProjectFile(platform_, path, report_);
    }
  }

  // The project files of `folder`, under its lock; its subfolders, in name
  // order.
  std::vector<std::u16string> Folder(const std::u16string& folder) {
    // Another run's temporary files are its own while it lives; a killed
    // run's are spare names and incomplete copies, never a project's only
    // copy.
    if (Lock(folder)) platform_.RemoveLeftoverFiles(folder);
    DirectoryListing listing = platform_.ListDirectory(folder);
    if (!listing.failure.empty()) {
      TellError(platform_, request_,
                WithoutTrailingSeparator(folder) + u": " + listing.failure + u"\n");
      unlisted_ = true;
    }
    for (const std::u16string& name : ProjectFileNames(std::move(listing.names))) {
      if (platform_.Interrupted()) break;
      Project(folder + name);
    }
    // What was begun in the folder ends before its lock is let go.
    platform_.Finish();
    std::sort(listing.folders.begin(), listing.folders.end(), ProjectFileNameLess);
    return std::move(listing.folders);
  }

  // The folder `root` and every folder below it, depth first, each under its
  // own lock. A folder named on its own is done at its own turn, not as a
  // subfolder. Only the subfolders still to do of the folders on the way
  // down are kept.
  void Tree(const std::u16string& root) {
    struct Level {
      std::u16string folder;
      std::vector<std::u16string> subfolders;
      std::size_t next = 0;
    };
    std::vector<Level> levels;
    levels.push_back({root, Folder(root)});
    while (!levels.empty() && !platform_.Interrupted()) {
      Level& level = levels.back();
      if (level.next == level.subfolders.size()) {
        levels.pop_back();
        continue;
      }
      // The separator that ends the folder's path ends its subfolders' too.
      std::u16string folder = level.folder + level.subfolders[level.next++] + level.folder.back();
      if (NamedOnItsOwn(folder)) continue;
      std::vector<std::u16string> subfolders = Folder(folder);
      levels.push_back({std::move(folder), std::move(subfolders)});
    }
  }

  // Whether `folder` is named on the command line too, and so done at its
  // own turn.
  bool NamedOnItsOwn(const std::u16string& folder) {
    if (targets_.size() < 2) return false;
    const FileVersion identity = platform_.LookUpPath(folder).identity;
    return std::any_of(targets_.begin(), targets_.end(), [&](const Target& target) {
      return target.folder && target.entry.identity.volume == identity.volume &&
             target.entry.identity.file == identity.file;
    });
  }

  Platform& platform_;
  const Request& request_;
  const std::vector<Target>& targets_;
  ProjectReport report_;
  bool unlisted_ = false;
};

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
      TellError(platform, request, u".: " + problem + u"\n");
      failed = true;
    }
  } else {
    std::u16string problems;
    std::optional<std::vector<Target>> named = TargetsOf(platform, request.paths, problems);
    if (!named) {
      TellError(platform, request, problems);
      platform.WriteErrorText(std::u16string(kUsageLine));
      return 2;
    }
    targets = std::move(*named);
  }
  Batch batch(platform, request, targets);
  failed = batch.Run() || failed;
  ProjectReport& report = batch.report();
  report.WriteCounts(request.undo);
  // A dry run writes nothing, so no project of it is left for a failed write.
  const bool left = !request.dryRun && report.left() > 0;
  // A window that closes at the end would take the -v lines with it.
  if (left) {
    platform.ShowOnOwnConsole(u"Left as they were, for a failed file operation:\n" +
                              report.LeftProjects(kMostProjectsShown));
  }
  return failed || left ? 3 : 0;
}

}  // namespace lstconvert
