#include "app/undo.h"

#include <new>
#include <optional>

#include "app/convert.h"
#include "projectfile/projectfile.h"

namespace lstconvert {
namespace {

using Verdict = ProjectReport::Verdict;

// Whether a file that was not read is one there is nothing to undo for: no
// entry at all, or no file.
bool NothingThere(const ReadFailure& failure) {
  return failure.kind == ReadFailure::Kind::kMissing ||
         failure.kind == ReadFailure::Kind::kNotAFile;
}

// Undoes the project at `fullPath` where there is something to undo (in a
// dry run only says so), and settles its line at `place` in `report`.
void Undo(Platform& platform, const std::u16string& fullPath, ProjectReport& report,
          std::size_t place, bool dryRun) {
  const std::u16string backupPath = fullPath + u".bak";
  ReadFailure failure;
  // Each read is valid until the next: what is needed of the backup is kept.
  const std::optional<FileContent> backup = platform.ReadWholeFile(backupPath, &failure);
  if (!backup) {
    if (NothingThere(failure)) return report.SettleSilently(place);
    return report.Settle(place, Verdict::kLeft, fullPath, u"backup " + ReasonFor(failure));
  }
  const std::optional<Bytes> converted = ConvertedBytes(backup->bytes);
  if (!converted) return report.SettleSilently(place);
  const Bytes original(backup->bytes);
  const std::optional<FileContent> project = platform.ReadWholeFile(fullPath, &failure);
  if (!project) {
    if (NothingThere(failure)) return report.SettleSilently(place);
    return report.Settle(place, Verdict::kLeft, fullPath, ReasonFor(failure));
  }
  if (project->bytes == original) return report.SettleSilently(place);
  if (project->bytes == *converted) {
    if (dryRun) return report.Settle(place, Verdict::kRestored, fullPath);
    const Outcome outcome = platform.RestoreBackup(fullPath, backupPath, project->version);
    if (outcome.done()) return report.Settle(place, Verdict::kRestored, fullPath);
    return report.SettleReplacement(place, fullPath, outcome);
  }
  if (!CheckProject(DecodeKeyLines(project->bytes, kConversionKeys).lines).bound) {
    return report.SettleSilently(place);
  }
  if (!dryRun) platform.ShowMessage(FormatWithPath(kChangedSinceConvertedMessage, fullPath));
  report.Settle(place, Verdict::kKept, fullPath, u"changed since it was converted");
}

}  // namespace

void UndoProjectFile(Platform& platform, const std::u16string& fullPath, ProjectReport& report,
                     bool dryRun) {
  const std::size_t place = report.Begin();
  try {
    Undo(platform, fullPath, report, place, dryRun);
  } catch (const std::bad_alloc&) {
    report.Settle(place, Verdict::kLeft, fullPath, u"too large for the memory left");
  }
}

}  // namespace lstconvert
