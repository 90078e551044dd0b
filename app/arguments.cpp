#include "app/arguments.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace lstconvert {
namespace {

constexpr std::u16string_view kVersionText = u"lstconvert " LSTCONVERT_VERSION u"\n";

constexpr std::u16string_view kNoticeText =
    u"Copyright (c) 2026 The lstconvert authors\n"
    u"MIT License: free to use, copy, change and pass on, without any warranty.\n"
    u"The full text is in LICENSE, in every download.\n";

constexpr std::u16string_view kUsageText =
    u"Usage: lstconvert\n"
    u"\n"
    u"Binds every report project (*.lst) in the current directory to the data\n"
    u"table Partlist and qualifies the field names of its filter and sums with\n"
    u"\"Partlist.\". The original of each converted project is kept as\n"
    u"<name>.lst.bak. Run it without arguments in the directory that holds the\n"
    u"projects; it takes none.\n"
    u"\n"
    u"The manual: man lstconvert, or lstconvert.html beside lstconvert.exe.\n"
    u"\n";

}  // namespace

int AnswerArguments(Platform& platform, const std::vector<std::string>& arguments) {
  constexpr std::array<std::string_view, 4> kHelp = {"--help", "-h", "-?", "/?"};
  int status = 0;
  if (arguments.size() == 1 && arguments[0] == "--version") {
    platform.WriteConsoleText(std::u16string(kVersionText) + std::u16string(kNoticeText));
  } else if (arguments.size() == 1 &&
             std::find(kHelp.begin(), kHelp.end(), arguments[0]) != kHelp.end()) {
    platform.WriteConsoleText(std::u16string(kUsageText) + std::u16string(kVersionText));
  } else {
    platform.WriteErrorText(std::u16string(kUsageText) + std::u16string(kVersionText));
    status = 2;
  }
  platform.HoldOwnConsole();
  return status;
}

}  // namespace lstconvert
