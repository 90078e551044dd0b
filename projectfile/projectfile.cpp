#include "projectfile/projectfile.h"

#include <algorithm>
#include <map>
#include <string_view>
#include <utility>

namespace lstconvert {
namespace {

constexpr unsigned char kByteOrderMark[] = {0xFF, 0xFE};

bool StartsWithByteOrderMark(std::string_view bytes) {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == kByteOrderMark[0] &&
         static_cast<unsigned char>(bytes[1]) == kByteOrderMark[1];
}

constexpr std::string_view kUtf16LineEnd("\r\0\n\0", 4);

// The code units of a UTF-16LE byte range of even length.
std::u16string WidenUtf16Le(std::string_view bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return units;
}

std::u16string WidenEightBit(std::string_view bytes) {
  std::u16string units(bytes.size(), u'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]));
  }
  return units;
}

// One line of a file: the bytes of its text, [begin, end), and where the
// next line starts; `ended` if a line end followed it.
struct LineBytes {
  std::size_t begin, end, next;
  bool ended;
};

// The 8-bit line that starts at `at`: up to the next LF, a CR directly
// before it dropped.
LineBytes EightBitLine(std::string_view bytes, std::size_t at) {
  const std::size_t lineFeed = bytes.find('\n', at);
  if (lineFeed == std::string_view::npos) return {at, bytes.size(), bytes.size(), false};
  const bool carriageReturn = lineFeed > at && bytes[lineFeed - 1] == '\r';
  return {at, lineFeed - (carriageReturn ? 1 : 0), lineFeed + 1, true};
}

// The UTF-16LE line that starts at the even offset `at`: up to the next CR
// LF pair of code units, not bytes straddling two units.
LineBytes Utf16Line(std::string_view bytes, std::size_t at) {
  std::size_t end = bytes.find(kUtf16LineEnd, at);
  while (end != std::string_view::npos && end % 2 != 0) end = bytes.find(kUtf16LineEnd, end + 1);
  if (end == std::string_view::npos) return {at, bytes.size(), bytes.size(), false};
  return {at, end, end + kUtf16LineEnd.size(), true};
}

LineBytes LineAt(std::string_view bytes, EncodingMode mode, std::size_t at) {
  return mode == EncodingMode::kUtf16Le ? Utf16Line(bytes, at) : EightBitLine(bytes, at);
}

std::u16string Widen(std::string_view bytes, EncodingMode mode) {
  return mode == EncodingMode::kUtf16Le ? WidenUtf16Le(bytes) : WidenEightBit(bytes);
}

// Where the lines of `bytes` start, and its mode; nothing to split for an
// empty file or a UTF-16LE one of odd length, which cannot be kept whole.
struct Layout {
  EncodingMode mode;
  std::size_t start;
  bool splittable;
};

Layout LayoutOf(std::string_view bytes) {
  if (StartsWithByteOrderMark(bytes)) {
    return {EncodingMode::kUtf16Le, 2, bytes.size() % 2 == 0 && bytes.size() > 2};
  }
  return {EncodingMode::kEightBit, 0, !bytes.empty()};
}

// A text (a key, a line without its end) as the bytes it has in a file of
// `mode`; nothing if it cannot be there (a character above U+00FF in 8-bit
// text).
std::optional<Bytes> EncodeText(std::u16string_view text, EncodingMode mode) {
  Bytes bytes;
  for (const char16_t unit : text) {
    if (mode == EncodingMode::kEightBit && unit > 0xFF) return std::nullopt;
    bytes.push_back(static_cast<char>(unit & 0xFF));
    if (mode == EncodingMode::kUtf16Le) bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

// Where the line that holds the byte at `at` starts: after the last line
// end before it, or at `start`.
std::size_t LineStartBefore(std::string_view bytes, EncodingMode mode, std::size_t start,
                            std::size_t at) {
  if (mode == EncodingMode::kEightBit) {
    const std::size_t lineFeed = bytes.rfind('\n', at);
    return lineFeed == std::string_view::npos || lineFeed < start ? start : lineFeed + 1;
  }
  for (std::size_t unit = at - (at - start) % 2; unit >= start + 4; unit -= 2) {
    if (bytes.substr(unit - 4, 4) == kUtf16LineEnd) return unit;
  }
  return start;
}

// The starts of the lines that contain any of `keys`, in order. Each key is
// looked for where its last code unit stands, over the whole text at once,
// so the lines without a key cost no more than a search through them.
std::vector<std::size_t> KeyLineStarts(std::string_view bytes, EncodingMode mode, std::size_t start,
                                       std::span<const std::u16string_view> keys) {
  const std::size_t unit = mode == EncodingMode::kUtf16Le ? 2 : 1;
  // The keys by the first bytes of their last two code units: a search hit
  // is compared only with the keys whose next-to-last unit fits.
  std::map<std::pair<char, char>, std::vector<Bytes>> byEnd;
  std::string lasts;
  for (const std::u16string_view key : keys) {
    std::optional<Bytes> bytesOfKey = EncodeText(key, mode);
    if (!bytesOfKey || bytesOfKey->size() < 2 * unit) continue;
    const Bytes& k = *bytesOfKey;
    const char last = k[k.size() - unit];
    if (lasts.find(last) == std::string::npos) lasts.push_back(last);
    byEnd[{last, k[k.size() - 2 * unit]}].push_back(std::move(*bytesOfKey));
  }
  std::vector<std::size_t> starts;
  for (const char last : lasts) {
    for (std::size_t at = bytes.find(last, start); at != std::string_view::npos;
         at = bytes.find(last, at + 1)) {
      if ((at - start) % unit != 0 || at < start + unit) continue;
      const auto candidates = byEnd.find({last, bytes[at - unit]});
      if (candidates == byEnd.end()) continue;
      const bool key =
          std::any_of(candidates->second.begin(), candidates->second.end(), [&](const Bytes& k) {
            const std::size_t tail = k.size() - unit;
            return at >= start + tail && bytes.substr(at - tail, k.size()) == k;
          });
      if (!key) continue;
      // A key holds no line end, so the line of its last unit holds all of it.
      const std::size_t lineStart = LineStartBefore(bytes, mode, start, at);
      starts.push_back(lineStart);
      at = LineAt(bytes, mode, lineStart).next - 1;
    }
  }
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  return starts;
}

// True if every line of the text already ends in CR LF, the last one too.
bool EndsAsWritten(std::string_view bytes, EncodingMode mode, std::size_t start) {
  if (mode == EncodingMode::kUtf16Le) return bytes.ends_with(kUtf16LineEnd);
  for (std::size_t at = bytes.find('\n', start); at != std::string_view::npos;
       at = bytes.find('\n', at + 1)) {
    if (at == start || bytes[at - 1] != '\r') return false;
  }
  return bytes.ends_with('\n');
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
  const Layout layout = LayoutOf(bytes);
  ProjectText text;
  text.mode = layout.mode;
  if (!layout.splittable) return text;
  for (std::size_t at = layout.start; at < bytes.size();) {
    const LineBytes line = LineAt(bytes, layout.mode, at);
    text.lines.push_back(
        Widen(std::string_view(bytes).substr(line.begin, line.end - line.begin), layout.mode));
    at = line.next;
  }
  return text;
}

ProjectText DecodeKeyLines(std::string_view bytes, std::span<const std::u16string_view> keys) {
  const Layout layout = LayoutOf(bytes);
  ProjectText text;
  text.mode = layout.mode;
  text.bytes = bytes;
  if (!layout.splittable) return text;
  for (const std::size_t start : KeyLineStarts(bytes, layout.mode, layout.start, keys)) {
    const LineBytes line = LineAt(bytes, layout.mode, start);
    text.lines.push_back(Widen(bytes.substr(line.begin, line.end - line.begin), layout.mode));
    text.spans.push_back({line.begin, line.end});
  }
  text.endsAsWritten = EndsAsWritten(bytes, layout.mode, layout.start);
  return text;
}

std::optional<Bytes> EncodeProjectFile(const Lines& lines, EncodingMode mode) {
  if (mode == EncodingMode::kUtf16Le) return EncodeUtf16Le(lines);
  return EncodeEightBit(lines);
}

std::optional<EncodedText> EncodeKeyLines(const ProjectText& text) {
  const bool utf16 = text.mode == EncodingMode::kUtf16Le;
  EncodedText out;
  std::vector<Bytes>& keyLines = out.texts;
  for (const std::u16string& line : text.lines) {
    std::optional<Bytes> bytes = EncodeText(line, text.mode);
    if (!bytes) return std::nullopt;
    keyLines.push_back(std::move(*bytes));
  }
  const std::string_view all = text.bytes;
  const std::string_view lineEnd = utf16 ? kUtf16LineEnd : std::string_view("\r\n");
  std::vector<std::string_view>& pieces = out.pieces;
  if (text.endsAsWritten || utf16) {
    std::size_t copied = 0;
    for (std::size_t i = 0; i < keyLines.size(); ++i) {
      pieces.push_back(all.substr(copied, text.spans[i].begin - copied));
      pieces.push_back(keyLines[i]);
      copied = text.spans[i].end;
    }
    pieces.push_back(all.substr(copied));
    if (!text.endsAsWritten) pieces.push_back(lineEnd);
    return out;
  }
  // 8-bit text with other line ends: every line, followed by CR LF.
  Bytes whole;
  whole.reserve(all.size() + static_cast<std::size_t>(std::count(all.begin(), all.end(), '\n')) +
                2);
  std::size_t next = 0;
  for (std::size_t at = 0; at < all.size();) {
    const LineBytes line = EightBitLine(all, at);
    if (next < keyLines.size() && text.spans[next].begin == line.begin) {
      whole += keyLines[next++];
    } else {
      whole += all.substr(line.begin, line.end - line.begin);
    }
    whole += lineEnd;
    at = line.next;
  }
  out.texts = {std::move(whole)};
  pieces.push_back(out.texts.front());
  return out;
}

std::string EncodeUtf8(std::u16string_view text) {
  std::string utf8;
  utf8.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t point = text[i];
    const bool high = point >= 0xD800 && point < 0xDC00;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      point = 0x10000 + ((point - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (point >= 0xD800 && point < 0xE000) {
      point = 0xFFFD;
    }
    if (point < 0x80) {
      utf8 += static_cast<char>(point);
    } else if (point < 0x800) {
      utf8 += {static_cast<char>(0xC0 | point >> 6), static_cast<char>(0x80 | (point & 0x3F))};
    } else if (point < 0x10000) {
      utf8 += {static_cast<char>(0xE0 | point >> 12), static_cast<char>(0x80 | (point >> 6 & 0x3F)),
               static_cast<char>(0x80 | (point & 0x3F))};
    } else {
      utf8 +=
          {static_cast<char>(0xF0 | point >> 18), static_cast<char>(0x80 | (point >> 12 & 0x3F)),
           static_cast<char>(0x80 | (point >> 6 & 0x3F)), static_cast<char>(0x80 | (point & 0x3F))};
    }
  }
  return utf8;
}

std::optional<ProjectText> LoadProjectFile(Platform& platform, const std::u16string& fullPath,
                                           std::span<const std::u16string_view> keys,
                                           ReadFailure* whyNot) {
  const std::optional<FileContent> content = platform.ReadWholeFile(fullPath, whyNot);
  if (!content) return std::nullopt;
  ProjectText text = DecodeKeyLines(content->bytes, keys);
  text.version = content->version;
  return text;
}

void SaveProjectFile(Platform& platform, const std::u16string& fullPath, const ProjectText& text,
                     const std::u16string& backupPath,
                     const std::function<void(const Outcome&)>& whenKnown) {
  const std::optional<EncodedText> encoded = EncodeKeyLines(text);
  if (!encoded) {
    platform.CopyToNewFile(fullPath, backupPath);
    whenKnown({u"its converted text does not fit its encoding", u""});
    return;
  }
  platform.ReplaceWholeFile(fullPath, encoded->pieces, text.version, backupPath, whenKnown);
}

}  // namespace lstconvert
