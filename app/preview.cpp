#include "app/preview.h"

#include <new>
#include <optional>

#include "app/convert.h"
#include "projectfile/projectfile.h"
#include "rewrite/diff.h"

namespace lstconvert {
namespace {

using Verdict = ProjectReport::Verdict;

// A project's change as a diff shows it: the headers and the hunks. An
// accepted project always has a changed line, its first "TableID=" line; its
// line ends are not shown.
struct Change {
  std::u16string headers;
  std::string hunks;
};

Change ChangeOf(const std::u16string& path, const Bytes& before, const Bytes& after) {
  return {u"--- " + path + u"\n+++ " + path + u" (converted)\n",
          EncodeUtf8(
              UnifiedDiffHunks(DecodeProjectFile(before).lines, DecodeProjectFile(after).lines))};
}

// Settles what converting the project at `fullPath` would do, and returns
// its change where `diff` asks for it.
std::optional<Change> Preview(Platform& platform, const std::u16string& fullPath,
                              ProjectReport& report, std::size_t place, bool diff) {
  ReadFailure failure;
  std::optional<ProjectText> project =
      LoadProjectFile(platform, fullPath, kConversionKeys, &failure);
  std::u16string why;
  Verdict verdict = Verdict::kRefused;
  std::optional<Change> change;
  if (!project) {
    why = ReasonFor(failure);
  } else if (const Refusal refusal = CheckProject(project->lines); refusal.refused()) {
    why = refusal.Reason();
  } else if (platform.IsReadOnly(fullPath)) {
    verdict = Verdict::kLeft;
    why = u"read-only";
  } else {
    ApplyConversionEdits(project->lines);
    const std::optional<EncodedText> encoded = EncodeKeyLines(*project);
    verdict = encoded ? Verdict::kConverted : Verdict::kLeft;
    if (!encoded) why = u"its converted text does not fit its encoding";
    if (encoded && diff) {
      Bytes converted;
      for (const std::string_view piece : encoded->pieces) converted += piece;
      change = ChangeOf(fullPath, Bytes(project->bytes), converted);
    }
  }
  report.Settle(place, verdict, fullPath, why);
  return change;
}

}  // namespace

void PreviewProjectFile(Platform& platform, const std::u16string& fullPath, ProjectReport& report,
                        bool diff) {
  const std::size_t place = report.Begin();
  std::optional<Change> change;
  try {
    change = Preview(platform, fullPath, report, place, diff);
  } catch (const std::bad_alloc&) {
    report.Settle(place, ProjectReport::Verdict::kRefused, fullPath,
                  u"too large for the memory left");
  }
  if (change) {
    platform.WriteConsoleText(change->headers);
    platform.WriteConsoleUtf8(change->hunks);
  }
}

}  // namespace lstconvert
