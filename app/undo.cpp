#include "app/undo.h"

#include <new>
#include <optional>

#include "app/convert.h"
#include "projectfile/projectfile.h"

namespace lstconvert {
namespace {

// What undoing the project at `fullPath` comes to: a line for the report, or
// nothing where there is nothing to undo.
std::optional<std::u16string> Undo(Platform& platform, const std::u16string& fullPath) {
  const std::u16string backupPath = fullPath + u".bak";
  // Each read is valid until the next: what is needed of the backup is kept.
  const std::optional<FileContent> backup = platform.ReadWholeFile(backupPath);
  if (!backup) return std::nullopt;
  const std::optional<Bytes> converted = ConvertedBytes(backup->bytes);
  if (!converted) return std::nullopt;
  const Bytes original(backup->bytes);
  const std::optional<FileContent> project = platform.ReadWholeFile(fullPath);
  if (!project || project->bytes == original) return std::nullopt;
  if (project->bytes == *converted) {
    const Outcome outcome = platform.RestoreBackup(fullPath, backupPath, project->version);
    if (outcome.done()) return u"restored " + fullPath;
    return ProjectReport::LineFor(fullPath, outcome);
  }
  if (!CheckProject(DecodeKeyLines(project->bytes, kConversionKeys).lines).bound) {
    return std::nullopt;
  }
  platform.ShowMessage(FormatWithPath(kChangedSinceConvertedMessage, fullPath));
  return u"kept " + fullPath + u": changed since it was converted";
}

}  // namespace

void UndoProjectFile(Platform& platform, const std::u16string& fullPath, ProjectReport& report) {
  const std::size_t place = report.Begin();
  std::optional<std::u16string> line;
  try {
    line = Undo(platform, fullPath);
  } catch (const std::bad_alloc&) {
    line = u"left " + fullPath + u": too large for the memory left";
  }
  report.Settle(place, line.value_or(u""));
}

}  // namespace lstconvert
