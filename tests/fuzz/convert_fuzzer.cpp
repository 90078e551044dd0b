// The whole conversion of one file's bytes, in memory: only lines that held
// one of the edited keys change, the line count stays, and a converted file
// is refused as already bound when converted again.
#include <cstdint>
#include <cstdlib>

#include "app/convert.h"
#include "app/report.h"
#include "fake_platform.h"
#include "rewrite/qualify.h"
#include "rewrite/strings.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool HoldsAnEditedKey(const std::u16string& line) {
  if (lstconvert::Holds(line, u"TableID=") || lstconvert::Holds(line, u"[Table:]")) return true;
  for (const auto key : lstconvert::kDefinitionKeys) {
    if (lstconvert::Holds(line, key)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lstconvert;
  const std::u16string path = u"/work/p.lst";
  const Bytes before(reinterpret_cast<const char*>(data), size);
  testing::FakePlatform platform;
  platform.AddFile(u"p.lst", before);
  ProjectReport report(platform, false);
  ConvertProjectFile(platform, path, report);
  const Bytes after = *platform.Content(u"p.lst");
  if (!platform.messages.empty()) {
    Check(after == before);  // refused: untouched
    return 0;
  }

  const ProjectText original = DecodeProjectFile(before);
  const ProjectText converted = DecodeProjectFile(after);
  // The same bytes as the edits on the whole line list give.
  Lines edited = original.lines;
  ApplyConversionEdits(edited);
  Check(EncodeProjectFile(edited, original.mode) == after);
  Check(converted.mode == original.mode);
  Check(converted.lines.size() == original.lines.size());
  for (std::size_t i = 0; i < original.lines.size(); ++i) {
    if (converted.lines[i] != original.lines[i]) Check(HoldsAnEditedKey(original.lines[i]));
  }

  ConvertProjectFile(platform, path, report);
  Check(platform.Content(u"p.lst") == after);
  Check(platform.messages ==
        std::vector<std::u16string>{FormatWithPath(kAlreadyBoundMessage, path)});
  return 0;
}
