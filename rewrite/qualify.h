// Qualifying the field names that a project's filter and sum definitions use
// with the table prefix "Partlist.".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lstconvert {

inline constexpr std::u16string_view kTablePrefix = u"Partlist.";

// The key of the field list line.
inline constexpr std::u16string_view kFieldListKey = u"Fields=";

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

// The field tokens of a field list line, tokenised again only when the line
// is another: the definition keys of a project mostly share one line.
class FieldTokens {
 public:
  struct Token {
    std::u16string_view text;
    std::uint64_t folded;  // a hash of the text with A-Z folded to a-z
    bool names;            // made of name characters only
    bool prefixed;         // starts with the prefix, case aside
  };
  const std::vector<Token>& Of(const std::u16string& fieldList);

 private:
  std::u16string fieldList_;
  std::vector<Token> tokens_;
  bool tokenised_ = false;
};

// Prefixes the field names of the field list line with "Partlist." in the
// first line that holds `key` and does not yet contain "Partlist.". Each
// field token is tried unchanged, in lower case, capitalised and in upper
// case, and the first variant found as a whole name is qualified. True if a
// target line was found (and stored back, changed or not).
bool QualifyFieldReferences(std::vector<std::u16string>& lines, std::u16string_view key);
// The same, with the tokens of earlier calls at hand in `tokens`.
bool QualifyFieldReferences(std::vector<std::u16string>& lines, std::u16string_view key,
                            FieldTokens& tokens);

}  // namespace lstconvert
