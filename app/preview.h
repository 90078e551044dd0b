// A dry run's look at one project file: what converting it would do, and
// nothing else.
#pragma once

#include <string>

#include "app/report.h"
#include "platform/platform.h"

namespace lstconvert {

// Reads the project file at `fullPath` and settles in `report` what
// ConvertProjectFile would do to it: convert it, refuse it (why), or leave
// it for being read-only; with `diff`, a converted project's line is
// followed by its change as a unified diff of its text, "--- <path>" and
// "+++ <path> (converted)" over hunks in UTF-8 (line ends, which become
// CR LF, are not shown). No message, no backup, nothing written.
void PreviewProjectFile(Platform& platform, const std::u16string& fullPath, ProjectReport& report,
                        bool diff);

}  // namespace lstconvert
