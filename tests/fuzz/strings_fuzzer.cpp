// The string operations against plain reference versions written here.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "rewrite/qualify.h"
#include "rewrite/strings.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Bytes as text over a small alphabet, so that occurrences are frequent;
// two byte values stand for the table prefix and its upper case.
std::u16string Text(const std::uint8_t* data, std::size_t size) {
  static const char16_t kAlphabet[] = u"aAbB.;= _1$\u00E4\u0100";
  std::u16string text;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] % 16 == 14) {
      text += u"Partlist.";
    } else if (data[i] % 16 == 15) {
      text += u"PARTLIST.";
    } else {
      text.push_back(kAlphabet[data[i] % 16]);
    }
  }
  return text;
}

bool At(const std::u16string& text, std::size_t i, const std::u16string& part) {
  return i + part.size() <= text.size() && text.compare(i, part.size(), part) == 0;
}

std::size_t ReferenceFind(const std::u16string& text, const std::u16string& part) {
  if (part.empty()) return lstconvert::kNotFound;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (At(text, i, part)) return i;
  }
  return lstconvert::kNotFound;
}

std::u16string ReferenceReplaceAll(const std::u16string& text, const std::u16string& from,
                                   const std::u16string& to, std::size_t& count) {
  count = 0;
  if (from.empty()) return text;
  std::u16string result;
  for (std::size_t i = 0; i < text.size();) {
    if (At(text, i, from)) {
      result += to;
      i += from.size();
      ++count;
    } else {
      result += text[i++];
    }
  }
  return result;
}

bool IsName(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') ||
         c == u'_' || c == u'.' || c == u'$' || c >= 0x80;
}

std::u16string ReferenceWholeNames(const std::u16string& text, const std::u16string& name,
                                   const std::u16string& to, std::size_t& count) {
  count = 0;
  if (name.empty()) return text;
  std::u16string result;
  for (std::size_t i = 0; i < text.size();) {
    const bool whole = At(text, i, name) && (i == 0 || !IsName(text[i - 1])) &&
                       (i + name.size() == text.size() || !IsName(text[i + name.size()]));
    if (whole) {
      result += to;
      i += name.size();
      ++count;
    } else {
      result += text[i++];
    }
  }
  return result;
}

std::vector<std::u16string> ReferenceTokenise(const std::u16string& text) {
  std::vector<std::u16string> tokens;
  std::u16string token;
  for (const char16_t c : text + u";") {
    if (c == u';' || c == u'=') {
      if (!token.empty()) tokens.push_back(token);
      token.clear();
    } else {
      token += c;
    }
  }
  return tokens;
}

// The qualification of one target line by plain scans, token by token.
std::u16string ReferenceQualify(const std::u16string& fieldList, std::u16string line) {
  std::vector<std::u16string> seen;
  for (const std::u16string& token : ReferenceTokenise(fieldList)) {
    if (std::find(seen.begin(), seen.end(), token) != seen.end()) continue;
    seen.push_back(token);
    if (token.find(u"Partlist.") != std::u16string::npos) continue;
    std::u16string capitalised = lstconvert::ToLowerCase(token);
    capitalised[0] = lstconvert::ToUpperCase(capitalised[0]);
    for (const std::u16string& variant :
         {token, lstconvert::ToLowerCase(token), capitalised, lstconvert::ToUpperCase(token)}) {
      std::size_t count = 0;
      line = ReferenceWholeNames(line, variant, u"Partlist." + variant, count);
      if (count > 0) break;
    }
  }
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lstconvert;
  if (size < 2) return 0;
  const std::size_t partSize = data[0] % 6;
  const std::size_t toSize = data[1] % 6;
  if (size < 2 + partSize + toSize) return 0;
  const std::u16string part = Text(data + 2, partSize);
  const std::u16string to = Text(data + 2 + partSize, toSize);
  const std::u16string text = Text(data + 2 + partSize + toSize, size - 2 - partSize - toSize);

  const std::size_t found = ReferenceFind(text, part);
  Check(Find(text, part) == found);
  Check(Holds(text, part) == (found != kNotFound && found > 0));

  std::size_t expectedCount = 0;
  std::u16string replaced = text;
  const std::u16string expected = ReferenceReplaceAll(text, part, to, expectedCount);
  Check(ReplaceAll(replaced, part, to) == expectedCount);
  Check(replaced == expected);

  std::u16string whole = text;
  const std::u16string expectedWhole = ReferenceWholeNames(text, part, to, expectedCount);
  Check(ReplaceWholeNames(whole, part, to) == expectedCount);
  Check(whole == expectedWhole);

  const std::vector<std::u16string_view> tokens = Tokenise(text, u";=");
  Check(std::vector<std::u16string>(tokens.begin(), tokens.end()) == ReferenceTokenise(text));

  const std::u16string lower = ToLowerCase(text), upper = ToUpperCase(text);
  Check(lower.size() == text.size() && upper.size() == text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    Check(lower[i] == ((c >= u'A' && c <= u'Z') ? c + 32 : c));
    Check(upper[i] == ((c >= u'a' && c <= u'z') ? c - 32 : c));
  }
  // The qualification: `part` and `to` are the field list, `text` the filter.
  const std::u16string fieldList = u" Fields=" + part + u";" + to + u";" + text.substr(0, 12);
  const std::u16string target = u" Filter=" + text;
  std::vector<std::u16string> lines = {fieldList, target};
  if (target.find(u"Partlist.") == std::u16string::npos) {
    Check(QualifyFieldReferences(lines, u"Filter="));
    // The field list line holds the key too when its text does.
    const bool fieldListIsTarget = Holds(fieldList, u"Filter=");
    if (!fieldListIsTarget) {
      Check(lines[0] == fieldList);
      Check(lines[1] == ReferenceQualify(fieldList, target));
    }
  }
  return 0;
}
