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

enum VariantKind { kUnchanged, kLowerCase, kCapitalised, kUpperCase, kVariantKinds };

// Writes the variant of `token` into `variant`, reusing its buffer.
void MakeVariant(const std::u16string& token, VariantKind kind, std::u16string& variant) {
  variant.assign(token);
  if (kind == kUnchanged || variant.empty()) return;
  std::size_t rest = 0;
  if (kind == kCapitalised) {
    variant[0] = ToUpperCase(variant[0]);
    rest = 1;
  }
  for (std::size_t i = rest; i < variant.size(); ++i) {
    variant[i] = kind == kUpperCase ? ToUpperCase(variant[i]) : ToLowerCase(variant[i]);
  }
}

// Qualifies the first variant of `token` (unchanged, lower case,
// capitalised, upper case) that occurs in `line` as a whole name. A variant
// equal to one tried before cannot match and is skipped.
void QualifyToken(std::u16string& line, const std::u16string& token,
                  std::u16string (&variants)[kVariantKinds]) {
  for (int kind = kUnchanged; kind < kVariantKinds; ++kind) {
    std::u16string& variant = variants[kind];
    MakeVariant(token, static_cast<VariantKind>(kind), variant);
    if (std::find(variants, variants + kind, variant) != variants + kind) continue;
    if (line.find(variant) == std::u16string::npos) continue;
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
  const std::vector<std::u16string> tokens = Tokenise(*fieldList, u";=");
  std::unordered_set<std::u16string_view> seen;
  std::u16string variants[kVariantKinds];
  for (const std::u16string& token : tokens) {
    // A name listed twice is qualified once.
    if (!seen.insert(token).second) continue;
    if (Find(token, kTablePrefix) != kNotFound) continue;
    QualifyToken(line, token, variants);
  }
  *target = std::move(line);
  return true;
}

}  // namespace lstconvert
