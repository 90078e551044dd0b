#include "projectfile/projectfile.h"

#include <algorithm>
#include <string_view>

namespace lstconvert {
namespace {

constexpr unsigned char kByteOrderMark[] = {0xFF, 0xFE};

bool StartsWithByteOrderMark(const Bytes& bytes) {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == kByteOrderMark[0] &&
         static_cast<unsigned char>(bytes[1]) == kByteOrderMark[1];
}

// The code units of a UTF-16LE byte range of even length.
std::u16string WidenUtf16Le(std::string_view bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return units;
}

// A UTF-16LE text split at every CR LF pair; a final piece after the last
// pair is a line only if it is not empty.
Lines SplitUtf16Le(std::string_view body) {
  constexpr std::string_view kLineEnd("\r\0\n\0", 4);
  Lines lines;
  std::size_t start = 0;
  std::size_t end = body.find(kLineEnd);
  while (end != std::string_view::npos) {
    if (end % 2 == 0) {  // a pair of code units, not bytes straddling two units
      lines.push_back(WidenUtf16Le(body.substr(start, end - start)));
      start = end + kLineEnd.size();
      end = body.find(kLineEnd, start);
    } else {
      end = body.find(kLineEnd, end + 1);
    }
  }
  if (start < body.size()) lines.push_back(WidenUtf16Le(body.substr(start)));
  return lines;
}

// 8-bit text split at every LF, a CR directly before it dropped; a final
// piece after the last LF is a line only if it is not empty.
Lines SplitEightBit(std::string_view bytes) {
  Lines lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    const bool terminated = end != std::string_view::npos;
    if (!terminated) end = bytes.size();
    std::size_t stop = end;
    if (terminated && stop > start && bytes[stop - 1] == '\r') --stop;
    std::u16string line(stop - start, u'\0');
    for (std::size_t i = start; i < stop; ++i) {
      line[i - start] = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]));
    }
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

std::size_t EncodedSize(const Lines& lines, std::size_t unitSize) {
  std::size_t size = 2;
  for (const auto& line : lines) size += (line.size() + 2) * unitSize;
  return size;
}

Bytes EncodeUtf16Le(const Lines& lines) {
  Bytes bytes(EncodedSize(lines, 2), '\0');
  bytes[0] = static_cast<char>(kByteOrderMark[0]);
  bytes[1] = static_cast<char>(kByteOrderMark[1]);
  char* out = bytes.data() + 2;
  for (const auto& line : lines) {
    for (const char16_t unit : line) {
      *out++ = static_cast<char>(unit & 0xFF);
      *out++ = static_cast<char>(unit >> 8);
    }
    out = std::copy_n("\r\0\n\0", 4, out);
  }
  return bytes;
}

std::optional<Bytes> EncodeEightBit(const Lines& lines) {
  Bytes bytes(EncodedSize(lines, 1) - 2, '\0');
  char* out = bytes.data();
  for (const auto& line : lines) {
    char16_t widest = 0;
    for (const char16_t unit : line) {
      widest |= unit;
      *out++ = static_cast<char>(unit);
    }
    if (widest > 0xFF) return std::nullopt;
    out = std::copy_n("\r\n", 2, out);
  }
  return bytes;
}

}  // namespace

ProjectText DecodeProjectFile(const Bytes& bytes) {
  if (StartsWithByteOrderMark(bytes)) {
    const std::string_view body = std::string_view(bytes).substr(2);
    if (body.size() % 2 != 0) return {{}, EncodingMode::kUtf16Le, {}};
    return {SplitUtf16Le(body), EncodingMode::kUtf16Le, {}};
  }
  return {SplitEightBit(bytes), EncodingMode::kEightBit, {}};
}

std::optional<Bytes> EncodeProjectFile(const Lines& lines, EncodingMode mode) {
  if (mode == EncodingMode::kUtf16Le) return EncodeUtf16Le(lines);
  return EncodeEightBit(lines);
}

ProjectText LoadProjectFile(Platform& platform, const std::u16string& fullPath) {
  const std::optional<FileContent> content = platform.ReadWholeFile(fullPath);
  if (!content) return {};
  ProjectText text = DecodeProjectFile(content->bytes);
  text.version = content->version;
  return text;
}

bool SaveProjectFile(Platform& platform, const std::u16string& fullPath, const ProjectText& text,
                     const std::u16string& backupPath) {
  const std::optional<Bytes> bytes = EncodeProjectFile(text.lines, text.mode);
  return bytes && platform.ReplaceWholeFile(fullPath, *bytes, text.version, backupPath);
}

}  // namespace lstconvert
