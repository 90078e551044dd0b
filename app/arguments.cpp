#include "app/arguments.h"

#include <algorithm>
#include <array>

namespace lstconvert {
namespace {

constexpr std::u16string_view kVersionText = u"lstconvert " LSTCONVERT_VERSION u"\n";

constexpr std::u16string_view kNoticeText =
    u"Copyright (c) 2026 The lstconvert authors\n"
    u"MIT License: free to use, copy, change and pass on, without any warranty.\n"
    u"The full text is in LICENSE, in every download.\n";

constexpr std::u16string_view kUsageText =
    u"\n"
    u"Binds the report projects (*.lst) in each folder PATH, and each project\n"
    u"file PATH, to the data table Partlist and qualifies the field names of\n"
    u"their filters and sums with \"Partlist.\"; without a PATH, the projects of\n"
    u"the current directory. The original of each converted project is kept as\n"
    u"<name>.lst.bak.\n"
    u"\n"
    u"  -v, --verbose    after each project, a line on what became of it and why\n"
    u"  -n, --dry-run    change nothing; a line on what a run would do to each\n"
    u"                   project\n"
    u"  --diff           -n, and each change a run would make, as a diff\n"
    u"  -r, --recursive  the folders below each folder PATH too\n"
    u"  --undo           put each project's original back from <name>.lst.bak,\n"
    u"                   where the project is still as it was converted\n"
    u"  --               what follows is a path, even if it starts with -\n"
    u"  -h, --help       this text\n"
    u"  --version        the version and the licence\n"
    u"\n"
    u"The manual: man lstconvert, or lstconvert.html beside lstconvert.exe.\n"
    u"\n";

}  // namespace

Request ReadArguments(const std::vector<std::u16string>& arguments) {
  constexpr std::array<std::u16string_view, 4> kHelp = {u"--help", u"-h", u"-?", u"/?"};
  Request request;
  bool help = false, version = false, options = true;
  for (const std::u16string& argument : arguments) {
    if (options && argument == u"--") {
      options = false;
    } else if (options && std::find(kHelp.begin(), kHelp.end(), argument) != kHelp.end()) {
      help = true;
    } else if (options && argument == u"--version") {
      version = true;
    } else if (options && (argument == u"-v" || argument == u"--verbose")) {
      request.verbose = true;
    } else if (options && argument == u"--undo") {
      request.undo = true;
    } else if (options && (argument == u"-n" || argument == u"--dry-run")) {
      request.dryRun = true;
    } else if (options && argument == u"--diff") {
      request.dryRun = request.diff = true;
    } else if (options && (argument == u"-r" || argument == u"--recursive")) {
      request.recursive = true;
    } else if (options && argument.starts_with(u'-')) {
      request.unknownOptions.push_back(argument);
    } else {
      request.paths.push_back(argument);
    }
  }
  if (help) {
    request.action = Request::Action::kHelp;
  } else if (version) {
    request.action = Request::Action::kVersion;
  } else if (!request.unknownOptions.empty()) {
    request.action = Request::Action::kUnknownOption;
  }
  return request;
}

int AnswerArguments(Platform& platform, const Request& request) {
  if (request.action == Request::Action::kVersion) {
    platform.WriteConsoleText(std::u16string(kVersionText) + std::u16string(kNoticeText));
  } else if (request.action == Request::Action::kHelp) {
    platform.WriteConsoleText(std::u16string(kUsageLine) + std::u16string(kUsageText) +
                              std::u16string(kVersionText));
  } else {
    std::u16string named;
    for (const std::u16string& option : request.unknownOptions) {
      named += u"unknown option '" + option + u"'\n";
    }
    TellError(platform, request, named);
    platform.WriteErrorText(std::u16string(kUsageLine));
  }
  platform.HoldOwnConsole();
  return request.action == Request::Action::kUnknownOption ? 2 : 0;
}

void TellError(Platform& platform, const Request& request, const std::u16string& text) {
  platform.WriteError(text);
  if (!request.dryRun) platform.ShowOnOwnConsole(text);
}

}  // namespace lstconvert
