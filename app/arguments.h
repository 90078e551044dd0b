// What the command line asks for: the usage text, the version, or a run over
// the current directory or the folders and project files it names.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace lstconvert {

// The first line of the usage text, which a bad path gets too.
inline constexpr std::u16string_view kUsageLine =
    u"Usage: lstconvert [-v] [-n] [--diff] [-r] [--undo] [--] [PATH]...\n";

struct Request {
  enum class Action { kConvert, kHelp, kVersion, kUnknownOption };
  Action action = Action::kConvert;
  bool verbose = false;               // -v, --verbose
  bool dryRun = false;                // -n, --dry-run: what a run would do, and nothing else
  bool diff = false;                  // --diff: a dry run that shows each conversion's change
  bool recursive = false;             // -r, --recursive: each folder's subfolders too
  bool undo = false;                  // --undo: the originals put back
  std::vector<std::u16string> paths;  // none: the current directory
  std::vector<std::u16string> unknownOptions;
};

// Reads the arguments after the program's name. "--help", "-h", "-?" and
// "/?" ask for the usage text and "--version" for the version, whatever else
// is given; "--" ends the options; any other argument that starts with "-"
// is an unknown option; the rest are paths.
Request ReadArguments(const std::vector<std::u16string>& arguments);

// Answers a request for the usage text or the version on standard output
// with status 0, or unknown options on standard error, each named, then the
// usage line, with status 2. No file is looked at or touched.
int AnswerArguments(Platform& platform, const Request& request);

// Tells the user `text`, why the program cannot do something: on standard
// error and, but in a dry run, in a box where the console window is the
// program's own and closes when it ends.
void TellError(Platform& platform, const Request& request, const std::u16string& text);

}  // namespace lstconvert
