// The batch run over the project files of the current directory.
#pragma once

#include <string_view>

#include "app/arguments.h"
#include "platform/platform.h"

namespace lstconvert {

inline constexpr std::u16string_view kStartupFailureMessage =
    u"Schwerwiegender Fehler bei der MFC-Initialisierung\n";

// True for a name that ends in ".lst", letter case ignored.
bool IsProjectFileName(std::u16string_view name);

// The order in which project files are converted: code units compared with
// A-Z folded to a-z, a prefix first, ties broken by the exact units.
bool ProjectFileNameLess(std::u16string_view a, std::u16string_view b);

// Starts the program and checks every path of `request` before anything is
// touched; then, for each folder and project file named (the current
// directory where none is), in the order given and each once, waits for any
// other run in its folder to end and backs up and converts its project
// files in name order, until the user interrupts the run. A folder that
// cannot be listed is told on standard error. Returns the exit status: 0
// after a completed run, 1 after a failed start-up, 2 when a path names
// nothing, or neither a folder nor a project file, and 3 after a run in
// which a folder could not be listed or a project was left as it was for a
// failed file operation.
int RunBatch(Platform& platform, const Request& request);

}  // namespace lstconvert
