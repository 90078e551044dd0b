// Qualifying the field names that a project's filter and sum definitions use
// with the table prefix "Partlist.".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lstconvert {

inline constexpr std::u16string_view kTablePrefix = u"Partlist.";

// The definition keys whose first unqualified line is qualified, in order.
inline constexpr std::u16string_view kDefinitionKeys[] = {
    u"Filter=", u"Sum1=", u"Sum2=", u"Sum3=", u"Sum4=",
    u"Sum5=",   u"Sum6=", u"Sum7=", u"Sum8=", u"Sum9=",
};

// A copy of the first line that holds "Fields=" (not at its very start).
std::optional<std::u16string> FindFieldListLine(const std::vector<std::u16string>& lines);

// Replaces each whole-name occurrence of `name` in `line` by `replacement`:
// one with no name character (A-Z, a-z, 0-9, "_", ".", "$", or any code unit
// from 0x80) directly before or after it. Returns the number replaced.
std::size_t ReplaceWholeNames(std::u16string& line, std::u16string_view name,
                              std::u16string_view replacement);

// Prefixes the field names of the field list line with "Partlist." in the
// first line that holds `key` and does not yet contain "Partlist.". Each
// field token is tried unchanged, in lower case, capitalised and in upper
// case, and the first variant found as a whole name is qualified. True if a
// target line was found (and stored back, changed or not).
bool QualifyFieldReferences(std::vector<std::u16string>& lines, std::u16string_view key);

}  // namespace lstconvert
