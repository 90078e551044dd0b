// Decoding then encoding any bytes: the lines survive a second round trip,
// and a file whose every line end is CR LF comes back byte for byte.
#include <cstdint>
#include <cstdlib>

#include "projectfile/projectfile.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// True if the 8-bit bytes end in a line end and every LF follows a CR.
bool EightBitCanonical(const lstconvert::Bytes& bytes) {
  if (bytes.empty()) return true;
  if (bytes.back() != '\n') return false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) return false;
  }
  return true;
}

// True if the UTF-16LE body is empty or ends in the code units CR LF.
bool Utf16Canonical(const lstconvert::Bytes& bytes) {
  const std::size_t body = bytes.size() - 2;
  if (body % 2 != 0) return false;
  if (body == 0) return true;
  return bytes.size() >= 6 && bytes.compare(bytes.size() - 4, 4, std::string("\r\0\n\0", 4)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lstconvert;
  const Bytes bytes(reinterpret_cast<const char*>(data), size);
  const ProjectText text = DecodeProjectFile(bytes);
  const std::optional<Bytes> encoded = EncodeProjectFile(text.lines, text.mode);
  Check(encoded.has_value());

  const ProjectText again = DecodeProjectFile(*encoded);
  Check(again.mode == text.mode || text.lines.empty());
  Check(again.lines == text.lines);

  const bool utf16 = text.mode == EncodingMode::kUtf16Le;
  if (utf16 ? Utf16Canonical(bytes) : EightBitCanonical(bytes)) Check(*encoded == bytes);
  if (!utf16) {
    // Every byte but the line ends is a character of the same value.
    std::size_t characters = 0;
    for (const auto& line : text.lines) {
      for (const char16_t unit : line) Check(unit <= 0xFF);
      characters += line.size();
    }
    std::size_t lineEnds = 0;
    for (std::size_t i = 0; i < size; ++i) {
      if (data[i] == '\n') lineEnds += (i > 0 && data[i - 1] == '\r') ? 2 : 1;
    }
    Check(characters + lineEnds == size);
  }
  return 0;
}
