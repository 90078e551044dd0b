// What the program says when it is given arguments: it takes none, so an
// argument only ever asks for the usage text or the version.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace lstconvert {

// Answers the command-line arguments (there is at least one): the usage text
// for "--help", "-h", "-?" and "/?", the version and the licence notice for
// "--version", both on standard output with status 0; anything else gets the
// usage text on standard error and status 2. No file is looked at or touched.
int AnswerArguments(Platform& platform, const std::vector<std::string>& arguments);

}  // namespace lstconvert
