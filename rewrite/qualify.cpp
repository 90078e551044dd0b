#include "rewrite/qualify.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "rewrite/strings.h"

namespace lstconvert {
namespace {

bool IsNameCharacter(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z') ||
         (unit >= u'0' && unit <= u'9') || unit == u'_' || unit == u'.' || unit == u'$' ||
         unit >= 0x80;
}

// The first character in upper case, the rest in lower case.
std::u16string Capitalised(std::u16string_view token) {
  std::u16string result = ToLowerCase(token);
  if (!result.empty()) result[0] = ToUpperCase(result.substr(0, 1))[0];
  return result;
}

// Qualifies the first variant of `token` that occurs in `line` as a whole name.
void QualifyToken(std::u16string& line, const std::u16string& token) {
  const std::u16string variants[] = {token, ToLowerCase(token), Capitalised(token),
                                     ToUpperCase(token)};
  for (const std::u16string& variant : variants) {
    const std::u16string qualified = std::u16string(kTablePrefix) + variant;
    if (ReplaceWholeNames(line, variant, qualified) > 0) return;
  }
}

}  // namespace

std::optional<std::u16string> FindFieldListLine(const std::vector<std::u16string>& lines) {
  for (const auto& line : lines) {
    if (Holds(line, u"Fields=")) return line;
  }
  return std::nullopt;
}

std::size_t ReplaceWholeNames(std::u16string& line, std::u16string_view name,
                              std::u16string_view replacement) {
  if (name.empty()) return 0;
  std::u16string result;
  std::size_t copied = 0;
  std::size_t count = 0;
  std::size_t at = line.find(name);
  while (at != std::u16string::npos) {
    const std::size_t end = at + name.size();
    const bool whole = (at == 0 || !IsNameCharacter(line[at - 1])) &&
                       (end == line.size() || !IsNameCharacter(line[end]));
    if (!whole) {
      at = line.find(name, at + 1);
      continue;
    }
    result.append(line, copied, at - copied);
    result.append(replacement);
    copied = end;
    ++count;
    at = line.find(name, end);
  }
  if (count == 0) return 0;
  result.append(line, copied, std::u16string::npos);
  line = std::move(result);
  return count;
}

bool QualifyFieldReferences(std::vector<std::u16string>& lines, std::u16string_view key) {
  if (key.empty()) return false;
  const std::optional<std::u16string> fieldList = FindFieldListLine(lines);
  if (!fieldList) return false;
  const auto target = std::find_if(lines.begin(), lines.end(), [&](const std::u16string& line) {
    return Holds(line, key) && Find(line, kTablePrefix) == kNotFound;
  });
  if (target == lines.end()) return false;

  std::u16string line = *target;
  std::unordered_set<std::u16string> seen;
  for (const std::u16string& token : Tokenise(*fieldList, u";=")) {
    // A name listed twice is qualified once.
    if (!seen.insert(token).second) continue;
    if (Find(token, kTablePrefix) != kNotFound) continue;
    QualifyToken(line, token);
  }
  *target = std::move(line);
  return true;
}

}  // namespace lstconvert
