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

std::u16string BoundTable(const Lines& lines) {
  constexpr std::u16string_view kKey = u"TableID=";
  for (const auto& line : lines) {
    if (!Holds(line, kKey)) continue;
    std::u16string_view name = std::u16string_view(line).substr(line.find(kKey) + kKey.size());
    while (!name.empty() && (name.back() == u' ' || name.back() == u'\t' || name.back() == u'\r')) {
      name.remove_suffix(1);
    }
    if (name == u"\"\"" || name.find_first_of(u" \t=") != std::u16string_view::npos) return {};
    return std::u16string(name);
  }
  return {};
}

Refusal CheckProject(const Lines& lines) {
  Refusal refusal{
      !LinesContainKey(lines, u"TableID="), LinesContainKey(lines, u"TableID=Partlist"), {}};
  if (!refusal.refused()) refusal.otherTable = BoundTable(lines);
  return refusal;
}

std::u16string Refusal::Reason() const {
  if (!otherTable.empty()) return u"bound to the table " + otherTable;
  const std::u16string unsavedReason = u"not saved in the designer (no TableID= line)";
  if (!bound) return unsavedReason;
  return unsaved ? unsavedReason + u"; bound to Partlist already" : u"bound to Partlist already";
}

std::vector<std::u16string> RefusalMessages(const Refusal& refusal,
                                            const std::u16string& fullPath) {
  std::vector<std::u16string> messages;
  if (refusal.unsaved) messages.push_back(FormatWithPath(kUnsavedProjectMessage, fullPath));
  if (refusal.bound) messages.push_back(FormatWithPath(kAlreadyBoundMessage, fullPath));
  if (!refusal.otherTable.empty()) {
    // The name is put in after the path, so a "%s" in it stays as it is.
    messages.push_back(FormatWithPath(kOtherTableMessage[0], fullPath) + refusal.otherTable +
                       std::u16string(kOtherTableMessage[1]));
  }
  return messages;
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

std::u16string ReasonFor(const ReadFailure& failure) {
  switch (failure.kind) {
    case ReadFailure::Kind::kNotAFile:
      return u"not a file";
    case ReadFailure::Kind::kTooLarge:
      return u"too large for the memory left";
    case ReadFailure::Kind::kMissing:
    case ReadFailure::Kind::kUnreadable:
      break;
  }
  return u"cannot be read" + (failure.reason.empty() ? u"" : u": " + failure.reason);
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
// in `report` then or once its replacement's outcome is known; false, with
// why in `failure`, if it cannot be read, which leaves it nothing to back up.
bool ConvertReadableProject(Platform& platform, const std::u16string& fullPath,
                            ProjectReport& report, std::size_t place, ReadFailure& failure) {
  const std::u16string backupPath = fullPath + u".bak";
  std::optional<ProjectText> project =
      LoadProjectFile(platform, fullPath, kConversionKeys, &failure);
  if (!project) return false;
  const Refusal refusal = CheckProject(project->lines);
  if (refusal.refused()) {
    platform.CopyToNewFile(fullPath, backupPath);
    for (const std::u16string& message : RefusalMessages(refusal, fullPath)) {
      platform.ShowMessage(message);
    }
    report.Settle(place, ProjectReport::Verdict::kRefused, fullPath, refusal.Reason());
    return true;
  }

  ApplyConversionEdits(project->lines);
  SaveProjectFile(platform, fullPath, *project, backupPath,
                  [&report, place, fullPath](const Outcome& outcome) {
                    report.SettleReplacement(place, fullPath, outcome);
                  });
  return true;
}

}  // namespace

void ConvertProjectFile(Platform& platform, const std::u16string& fullPath, ProjectReport& report) {
  const std::size_t place = report.Begin();
  ReadFailure failure;
  bool read = false;
  try {
    read = ConvertReadableProject(platform, fullPath, report, place, failure);
  } catch (const std::bad_alloc&) {
    // A project whose lines or converted text do not fit in memory is one
    // that cannot be read; what was begun for it is undone on the way out.
    failure = {ReadFailure::Kind::kTooLarge, {}};
  }
  if (!read) {
    platform.ShowMessage(FormatWithPath(kUnsavedProjectMessage, fullPath));
    report.Settle(place, ProjectReport::Verdict::kRefused, fullPath, ReasonFor(failure));
  }
}

}  // namespace lstconvert
