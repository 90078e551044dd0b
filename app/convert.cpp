#include "app/convert.h"

#include <new>
#include <optional>

#include "rewrite/qualify.h"
#include "rewrite/strings.h"

namespace lstconvert {

bool LinesContainKey(const Lines& lines, std::u16string_view key) {
  for (const auto& line : lines) {
    if (Holds(line, key)) return true;
  }
  return false;
}

bool ReplaceInFirstKeyLine(Lines& lines, std::u16string_view key, std::u16string_view replacement) {
  if (key.empty() || replacement.empty()) return false;
  for (auto& line : lines) {
    if (Holds(line, key)) {
      ReplaceAll(line, key, replacement);
      return true;
    }
  }
  return false;
}

void ApplyConversionEdits(Lines& lines) {
  ReplaceInFirstKeyLine(lines, u"TableID=", u"TableID=Partlist");
  ReplaceInFirstKeyLine(lines, u"[Table:]", u"[Table:Partlist]");
  FieldTokens tokens;
  for (const std::u16string_view key : kDefinitionKeys) QualifyFieldReferences(lines, key, tokens);
}

Refusal CheckProject(const Lines& lines) {
  return {!LinesContainKey(lines, u"TableID="), LinesContainKey(lines, u"TableID=Partlist")};
}

std::optional<Bytes> ConvertedBytes(std::string_view bytes) {
  ProjectText text = DecodeKeyLines(bytes, kConversionKeys);
  if (CheckProject(text.lines).refused()) return std::nullopt;
  ApplyConversionEdits(text.lines);
  const std::optional<EncodedText> encoded = EncodeKeyLines(text);
  if (!encoded) return std::nullopt;
  Bytes converted;
  for (const std::string_view piece : encoded->pieces) converted += piece;
  return converted;
}

std::u16string FormatWithPath(std::u16string_view message, const std::u16string& fullPath) {
  std::u16string text(message);
  for (std::size_t at = text.find(u"%s"); at != std::u16string::npos;
       at = text.find(u"%s", at + fullPath.size())) {
    text.replace(at, 2, fullPath);
  }
  return text;
}

namespace {

// Converts the project at `fullPath`, or refuses it, and settles its line
// in `report` then or once its replacement's outcome is known; false if it
// cannot be read, which leaves it nothing to back up.
bool ConvertReadableProject(Platform& platform, const std::u16string& fullPath,
                            ProjectReport& report, std::size_t place) {
  const std::u16string backupPath = fullPath + u".bak";
  std::optional<ProjectText> project = LoadProjectFile(platform, fullPath, kConversionKeys);
  if (!project) return false;
  const Refusal refusal = CheckProject(project->lines);
  if (refusal.refused()) {
    platform.CopyToNewFile(fullPath, backupPath);
    if (refusal.unsaved) platform.ShowMessage(FormatWithPath(kUnsavedProjectMessage, fullPath));
    if (refusal.bound) platform.ShowMessage(FormatWithPath(kAlreadyBoundMessage, fullPath));
    report.Settle(place, u"refused " + fullPath);
    return true;
  }

  ApplyConversionEdits(project->lines);
  SaveProjectFile(platform, fullPath, *project, backupPath,
                  [&report, place, fullPath](const Outcome& outcome) {
                    report.Settle(place, ProjectReport::LineFor(fullPath, outcome));
                  });
  return true;
}

}  // namespace

void ConvertProjectFile(Platform& platform, const std::u16string& fullPath, ProjectReport& report) {
  const std::size_t place = report.Begin();
  bool read = false;
  try {
    read = ConvertReadableProject(platform, fullPath, report, place);
  } catch (const std::bad_alloc&) {
    // A project whose lines or converted text do not fit in memory is one
    // that cannot be read; what was begun for it is undone on the way out.
  }
  if (!read) {
    platform.ShowMessage(FormatWithPath(kUnsavedProjectMessage, fullPath));
    report.Settle(place, u"refused " + fullPath);
  }
}

}  // namespace lstconvert
