#include "rewrite/diff.h"

#include <algorithm>

namespace lstconvert {
namespace {

std::u16string Number(std::size_t number) {
  const std::string digits = std::to_string(number);
  return std::u16string(digits.begin(), digits.end());
}

// A hunk's range of `count` lines from index `start` of a text of `size`
// lines, clipped to it, as the header gives it: an empty range is named by
// the line before it.
std::u16string Range(std::size_t start, std::size_t count, std::size_t size) {
  start = std::min(start, size);
  count = std::min(count, size - start);
  if (count == 1) return Number(start + 1);
  return Number(count == 0 ? start : start + 1) + u"," + Number(count);
}

}  // namespace

std::u16string UnifiedDiffHunks(const std::vector<std::u16string>& before,
                                const std::vector<std::u16string>& after, std::size_t context) {
  const std::size_t lines = std::max(before.size(), after.size());
  const auto changed = [&](std::size_t i) {
    return i >= before.size() || i >= after.size() || before[i] != after[i];
  };
  std::u16string hunks;
  std::size_t i = 0;
  while (true) {
    while (i < lines && !changed(i)) ++i;
    if (i == lines) break;
    // The hunk ends where `2 * context` unchanged lines follow a change.
    std::size_t end = i, unchanged = 0;
    for (std::size_t j = i; j < lines && unchanged <= 2 * context; ++j) {
      unchanged = changed(j) ? 0 : unchanged + 1;
      if (unchanged == 0) end = j + 1;
    }
    const std::size_t start = i > context ? i - context : 0;
    const std::size_t stop = std::min(lines, end + context);
    hunks += u"@@ -" + Range(start, stop - start, before.size()) + u" +" +
             Range(start, stop - start, after.size()) + u" @@\n";
    for (std::size_t j = start; j < stop;) {
      if (!changed(j)) {
        hunks += u" " + before[j++] + u"\n";
        continue;
      }
      std::size_t run = j;
      while (run < stop && changed(run)) ++run;
      for (std::size_t k = j; k < run && k < before.size(); ++k) hunks += u"-" + before[k] + u"\n";
      for (std::size_t k = j; k < run && k < after.size(); ++k) hunks += u"+" + after[k] + u"\n";
      j = run;
    }
    i = stop;
  }
  return hunks;
}

}  // namespace lstconvert
