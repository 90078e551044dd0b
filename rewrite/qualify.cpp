#include "rewrite/qualify.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "rewrite/strings.h"

namespace lstconvert {
namespace {

constexpr bool IsNameCharacter(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z') ||
         (unit >= u'0' && unit <= u'9') || unit == u'_' || unit == u'.' || unit == u'$' ||
         unit >= 0x80;
}

bool AllNameCharacters(std::u16string_view text) {
  return std::all_of(text.begin(), text.end(), [](char16_t unit) { return IsNameCharacter(unit); });
}

// A hash of `name` with A-Z folded to a-z: names that differ only in the
// case of those letters, as a token's variants do, hash alike.
std::uint64_t FoldedHash(std::u16string_view name) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char16_t unit : name) hash = (hash ^ ToLowerCase(unit)) * 1099511628211ull;
  return hash;
}

enum VariantKind { kUnchanged, kLowerCase, kCapitalised, kUpperCase, kVariantKinds };

// Writes the variant of `token` into `variant`, reusing its buffer.
void MakeVariant(std::u16string_view token, VariantKind kind, std::u16string& variant) {
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

// Writes the variants of `token` into `variants`: unchanged, lower case,
// capitalised, upper case.
void MakeVariants(std::u16string_view token, std::u16string (&variants)[kVariantKinds]) {
  for (int kind = kUnchanged; kind < kVariantKinds; ++kind) {
    MakeVariant(token, static_cast<VariantKind>(kind), variants[kind]);
  }
}

bool TriedBefore(const std::u16string (&variants)[kVariantKinds], int kind) {
  return std::find(variants, variants + kind, variants[kind]) != variants + kind;
}

// Qualifies the first variant that occurs in `line` as a whole name, by
// scanning the line; true if the line changed. A variant equal to one tried
// before cannot match and is skipped.
bool QualifyByScan(std::u16string& line, const std::u16string (&variants)[kVariantKinds]) {
  for (int kind = kUnchanged; kind < kVariantKinds; ++kind) {
    const std::u16string& variant = variants[kind];
    if (TriedBefore(variants, kind) || line.find(variant) == std::u16string::npos) continue;
    const std::u16string qualified = std::u16string(kTablePrefix) + variant;
    if (ReplaceWholeNames(line, variant, qualified) > 0) return true;
  }
  return false;
}

// A token the name index can qualify: made of name characters only, so its
// whole occurrences are exactly the line's runs of name characters equal to
// it, and with no variant holding the prefix, so no text that an earlier
// token inserted can match it.
bool FitsTheIndex(std::u16string_view token, const std::u16string (&variants)[kVariantKinds]) {
  if (!AllNameCharacters(token)) return false;
  return std::none_of(std::begin(variants), std::end(variants),
                      [](const std::u16string& v) { return Find(v, kTablePrefix) != kNotFound; });
}

// The runs of name characters of a line, looked up by their text. Qualifying
// through it costs a lookup per variant instead of a scan of the line, which
// keeps a long field list against a long line linear. Qualified runs are
// marked and written into the line by Apply.
class NameIndex {
 public:
  explicit NameIndex(std::u16string& line) : line_(line) { Build(); }

  // Marks every unmarked run equal to `name`; false if there is none.
  bool Qualify(std::u16string_view name) {
    const auto found = byText_.find(name);
    if (found == byText_.end() || found->second.empty()) return false;
    for (const std::size_t run : found->second) marked_[run] = true;
    found->second.clear();
    pending_ = true;
    return true;
  }

  // Puts the prefix before every marked run of the line.
  void Apply() {
    if (!pending_) return;
    std::u16string result;
    std::size_t copied = 0;
    for (std::size_t run = 0; run < starts_.size(); ++run) {
      if (!marked_[run]) continue;
      result.append(line_, copied, starts_[run] - copied);
      result.append(kTablePrefix);
      copied = starts_[run];
    }
    result.append(line_, copied, std::u16string::npos);
    line_ = std::move(result);
    Build();
  }

  // False if no name of the line, as it was when it was last indexed, has
  // the folded hash `foldedHash`.
  bool MayHold(std::uint64_t foldedHash) const { return folded_.contains(foldedHash); }

  // Indexes the line afresh after it was changed elsewhere.
  void Build() {
    starts_.clear();
    marked_.clear();
    byText_.clear();
    folded_.clear();
    pending_ = false;
    const std::u16string_view line = line_;
    for (std::size_t at = 0; at < line.size();) {
      if (!IsNameCharacter(line[at])) {
        ++at;
        continue;
      }
      std::size_t end = at;
      while (end < line.size() && IsNameCharacter(line[end])) ++end;
      byText_[line.substr(at, end - at)].push_back(starts_.size());
      folded_.insert(FoldedHash(line.substr(at, end - at)));
      starts_.push_back(at);
      at = end;
    }
    marked_.assign(starts_.size(), false);
  }

 private:
  std::u16string& line_;
  std::vector<std::size_t> starts_;
  std::vector<bool> marked_;
  std::unordered_map<std::u16string_view, std::vector<std::size_t>> byText_;
  std::unordered_set<std::uint64_t> folded_;
  bool pending_ = false;
};

// True for a token that can match no name of the line, now or later: every
// variant of a token of name characters is, case aside, the token, and the
// only names that qualifying adds to the line start with the prefix. The
// common case, decided without making the variants.
bool CannotMatch(const FieldTokens::Token& token, const NameIndex& index) {
  return token.names && !token.prefixed && !index.MayHold(token.folded);
}

// Qualifies the first variant of `token` that occurs in the line as a whole
// name: through the index where the token fits it, by a scan otherwise.
void QualifyToken(std::u16string& line, NameIndex& index, std::u16string_view token,
                  std::u16string (&variants)[kVariantKinds]) {
  MakeVariants(token, variants);
  if (FitsTheIndex(token, variants)) {
    for (int kind = kUnchanged; kind < kVariantKinds; ++kind) {
      if (!TriedBefore(variants, kind) && index.Qualify(variants[kind])) return;
    }
    return;
  }
  index.Apply();
  if (QualifyByScan(line, variants)) index.Build();
}

}  // namespace

std::optional<std::u16string> FindFieldListLine(const std::vector<std::u16string>& lines) {
  for (const auto& line : lines) {
    if (Holds(line, kFieldListKey)) return line;
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

const std::vector<FieldTokens::Token>& FieldTokens::Of(const std::u16string& fieldList) {
  if (tokenised_ && fieldList == fieldList_) return tokens_;
  fieldList_ = fieldList;
  tokens_.clear();
  for (const std::u16string_view token : Tokenise(fieldList_, u";=")) {
    tokens_.push_back({token, FoldedHash(token), AllNameCharacters(token),
                       StartsWithFolded(token, kTablePrefix)});
  }
  tokenised_ = true;
  return tokens_;
}

bool QualifyFieldReferences(std::vector<std::u16string>& lines, std::u16string_view key) {
  FieldTokens tokens;
  return QualifyFieldReferences(lines, key, tokens);
}

bool QualifyFieldReferences(std::vector<std::u16string>& lines, std::u16string_view key,
                            FieldTokens& fieldTokens) {
  if (key.empty()) return false;
  const std::optional<std::u16string> fieldList = FindFieldListLine(lines);
  if (!fieldList) return false;
  const auto target = std::find_if(lines.begin(), lines.end(), [&](const std::u16string& line) {
    return Holds(line, key) && Find(line, kTablePrefix) == kNotFound;
  });
  if (target == lines.end()) return false;

  std::u16string line = *target;
  const std::vector<FieldTokens::Token>& tokens = fieldTokens.Of(*fieldList);
  std::unordered_set<std::u16string_view> seen;
  std::u16string variants[kVariantKinds];
  NameIndex index(line);
  for (const FieldTokens::Token& token : tokens) {
    if (CannotMatch(token, index)) continue;
    // A name listed twice is qualified once.
    if (!seen.insert(token.text).second) continue;
    if (Find(token.text, kTablePrefix) != kNotFound) continue;
    QualifyToken(line, index, token.text, variants);
  }
  index.Apply();
  *target = std::move(line);
  return true;
}

}  // namespace lstconvert
