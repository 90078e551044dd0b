// The change between two texts of the same project, as a unified diff shows
// it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace lstconvert {

// The hunks of a unified diff from `before` to `after`, lines compared at
// the same index: the conversion replaces the text of lines, never adds or
// removes one, so line i of one text stands for line i of the other (where
// one text is longer, its extra lines count as added or removed). Each hunk
// is "@@ -<first>,<count> +<first>,<count> @@" (",1" left out) and its lines,
// each after " " (unchanged), "-" or "+", a run of changed lines as all of
// its old lines then all of its new ones, with up to `context` unchanged
// lines around; hunks closer than twice that are one. Empty where no line
// differs.
std::u16string UnifiedDiffHunks(const std::vector<std::u16string>& before,
                                const std::vector<std::u16string>& after, std::size_t context = 3);

}  // namespace lstconvert
