// The conversion of one project file, and the line list operations its
// checks and table binding edits use.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/report.h"
#include "platform/platform.h"
#include "projectfile/projectfile.h"
#include "rewrite/qualify.h"

namespace lstconvert {

inline constexpr std::u16string_view kUnsavedProjectMessage =
    u"The file %s must be saved in the List&Label designer. It cannot be processed!";
inline constexpr std::u16string_view kAlreadyBoundMessage =
    u"The file %s has been set to work with the table Partlist in the List&Label designer. It "
    u"cannot be processed!";
// The message for a project bound to another table: its name goes between
// the two parts.
inline constexpr std::u16string_view kOtherTableMessage[] = {
    u"The file %s has been set to work with the table ", u". It cannot be processed!"};

// Every key that the checks and edits look for: only lines that contain one
// of them can matter to the conversion ("TableID=Partlist" contains
// "TableID=").
inline constexpr std::u16string_view kConversionKeys[] = {
    u"TableID=",        u"[Table:]",        kFieldListKey,      kDefinitionKeys[0],
    kDefinitionKeys[1], kDefinitionKeys[2], kDefinitionKeys[3], kDefinitionKeys[4],
    kDefinitionKeys[5], kDefinitionKeys[6], kDefinitionKeys[7], kDefinitionKeys[8],
    kDefinitionKeys[9],
};

// True if some line holds `key` (first occurrence at an index above 0).
bool LinesContainKey(const Lines& lines, std::u16string_view key);

// In the first line that holds `key`, replaces every occurrence of `key` by
// `replacement`; false, with nothing changed, if no line holds it.
bool ReplaceInFirstKeyLine(Lines& lines, std::u16string_view key, std::u16string_view replacement);

// The edits of an accepted project: the table binding, then the field
// qualification of the filter and the nine sums.
void ApplyConversionEdits(Lines& lines);

// Which messages a project with `lines` gets: not saved by the designer (no
// line holds "TableID="), bound already (a line holds "TableID=Partlist"),
// or else bound to another table (see BoundTable).
struct Refusal {
  bool unsaved = false, bound = false;
  std::u16string otherTable;
  bool refused() const { return unsaved || bound || !otherTable.empty(); }
  // Why, in plain words.
  std::u16string Reason() const;
};
Refusal CheckProject(const Lines& lines);

// The table that the first line holding "TableID=" names right after its
// first "TableID=": the rest of the line without trailing spaces, tabs and
// CRs, where that is a name (neither empty nor "" and without a space, tab
// or "="); empty otherwise, as for the unbound "TableID=" of a project the
// designer saved.
std::u16string BoundTable(const Lines& lines);

// The bytes that converting a project file of `bytes` writes, or nothing
// where the project is refused.
std::optional<Bytes> ConvertedBytes(std::string_view bytes);

// Loads the project file at `fullPath`, refuses it with a message when it is
// not an unbound project saved by the designer, and otherwise replaces it by
// its converted text in its own encoding. A converted project's original
// becomes "<fullPath>.bak" first: a project that cannot be backed up is not
// converted. A project left as it is gets a copy of itself as its backup
// only where it has none, so a backup made by an earlier run stays. A file
// that cannot be read, into memory either, is refused as not saved and gets
// no backup: a copy would have to read it, or would be gigabytes of a file
// that is no project.
// With `report`, its line is settled once the outcome is known.
void ConvertProjectFile(Platform& platform, const std::u16string& fullPath, ProjectReport& report);

// The message of a refused project, one or two.
std::vector<std::u16string> RefusalMessages(const Refusal& refusal, const std::u16string& fullPath);

// Why a file that was not read is not converted, in plain words: "cannot be
// read: <the system's words>", "not a file", "too large for the memory left".
std::u16string ReasonFor(const ReadFailure& failure);

// `message` with each "%s" replaced by `fullPath`, taken literally.
std::u16string FormatWithPath(std::u16string_view message, const std::u16string& fullPath);

}  // namespace lstconvert
