#include "rewrite/strings.h"

#include <algorithm>
#include <utility>

namespace lstconvert {

std::size_t Find(std::u16string_view text, std::u16string_view part) {
  if (part.empty()) return kNotFound;
  return text.find(part);
}

bool Holds(std::u16string_view line, std::u16string_view key) {
  const std::size_t index = Find(line, key);
  return index != kNotFound && index > 0;
}

std::size_t ReplaceAll(std::u16string& text, std::u16string_view from, std::u16string_view to) {
  if (from.empty()) return 0;
  std::size_t at = text.find(from);
  if (at == std::u16string::npos) return 0;
  std::u16string result;
  result.reserve(text.size() + to.size());
  std::size_t copied = 0;
  std::size_t count = 0;
  while (at != std::u16string::npos) {
    result.append(text, copied, at - copied);
    result.append(to);
    copied = at + from.size();
    ++count;
    at = text.find(from, copied);
  }
  result.append(text, copied, std::u16string::npos);
  text = std::move(result);
  return count;
}

std::vector<std::u16string_view> Tokenise(std::u16string_view text,
                                          std::u16string_view delimiters) {
  std::vector<std::u16string_view> tokens;
  std::size_t start = text.find_first_not_of(delimiters);
  while (start != std::u16string_view::npos) {
    const std::size_t end = text.find_first_of(delimiters, start);
    tokens.emplace_back(text.substr(start, end == std::u16string_view::npos ? end : end - start));
    if (end == std::u16string_view::npos) break;
    start = text.find_first_not_of(delimiters, end);
  }
  return tokens;
}

std::u16string ToLowerCase(std::u16string_view text) {
  std::u16string result(text);
  for (char16_t& unit : result) unit = ToLowerCase(unit);
  return result;
}

bool StartsWithFolded(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](char16_t a, char16_t b) { return ToLowerCase(a) == ToLowerCase(b); });
}

std::u16string ToUpperCase(std::u16string_view text) {
  std::u16string result(text);
  for (char16_t& unit : result) unit = ToUpperCase(unit);
  return result;
}

}  // namespace lstconvert
