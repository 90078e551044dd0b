// Wide string operations shared by the conversion edits and the field
// qualification. Strings are UTF-16 code units; every comparison is exact,
// code unit by code unit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lstconvert {

inline constexpr std::size_t kNotFound = std::u16string_view::npos;

// Index of the first occurrence of `part` in `text`, or kNotFound. An empty
// `part` is never found.
std::size_t Find(std::u16string_view text, std::u16string_view part);

// A line holds a key when the key's first occurrence is at an index greater
// than 0: a key standing only at the very start of the line does not count.
bool Holds(std::u16string_view line, std::u16string_view key);

// Replaces every non-overlapping occurrence of `from` by `to`, scanning left
// to right and never rescanning inserted text. Returns the number of
// replacements; an empty `from` replaces nothing.
std::size_t ReplaceAll(std::u16string& text, std::u16string_view from, std::u16string_view to);

// Splits `text` at any of `delimiters`; runs of delimiters produce no empty
// tokens. The tokens are views of `text`.
std::vector<std::u16string_view> Tokenise(std::u16string_view text, std::u16string_view delimiters);

// Case changes touch only the letters A-Z and a-z.
constexpr char16_t ToLowerCase(char16_t unit) {
  return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
}
constexpr char16_t ToUpperCase(char16_t unit) {
  return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}
std::u16string ToLowerCase(std::u16string_view text);
// True if `text` starts with `prefix` when A-Z are folded to a-z in both.
bool StartsWithFolded(std::u16string_view text, std::u16string_view prefix);
std::u16string ToUpperCase(std::u16string_view text);

}  // namespace lstconvert
