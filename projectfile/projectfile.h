// Project files: bytes on disk <-> a line list and its encoding mode.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace lstconvert {

using Lines = std::vector<std::u16string>;

enum class EncodingMode {
  kUtf16Le,   // starts with FF FE; lines end in the code units CR LF
  kEightBit,  // one byte per character, U+0000-U+00FF; lines end in LF or CR LF
};

struct ProjectText {
  Lines lines;
  EncodingMode mode = EncodingMode::kEightBit;
  FileVersion version;  // the file the text was loaded from

  // Loaded for some keys only (DecodeKeyLines): the file's bytes (as read,
  // not copied), where each of `lines` stands in them (its text, without the
  // line end), and whether every line already ends in CR LF.
  struct Span {
    std::size_t begin, end;
  };
  std::string_view bytes;
  std::vector<Span> spans;
  bool endsAsWritten = false;
};

// Splits a file's bytes into lines. Every byte and code unit, U+0000 and
// unpaired surrogates included, is kept. A UTF-16LE file with an odd number
// of bytes after its mark cannot be represented and gives no lines, as does
// an empty file.
ProjectText DecodeProjectFile(const Bytes& bytes);

// The bytes of a line list in the given mode, every line followed by CR LF.
// Nothing if an 8-bit line holds a character above U+00FF.
std::optional<Bytes> EncodeProjectFile(const Lines& lines, EncodingMode mode);

// The lines of a file's bytes that contain any of `keys` anywhere, in file
// order, split as DecodeProjectFile splits them; the other lines stay bytes.
// Edits that look only at lines holding these keys and change only such
// lines see the same on these lines as on the whole line list, since no
// other line can hold a key, and they cost no more than those lines.
// The text refers to `bytes`, which must outlive it.
ProjectText DecodeKeyLines(std::string_view bytes, std::span<const std::u16string_view> keys);

// A project file's bytes as pieces to be written one after the other:
// stretches of the bytes it was read from, its key lines encoded again, and
// line ends. Nothing is copied but the key lines, except in 8-bit text whose
// line ends change: that is copied whole, line ends made CR LF, since two
// pieces for each of its lines could take many times its size.
struct EncodedText {
  // The key lines encoded again; or, where the line ends change, the whole
  // text. Held apart, so that a move leaves the pieces pointing into them.
  std::vector<Bytes> texts;
  std::vector<std::string_view> pieces;  // into the read bytes, `texts` and literals
};

// The bytes DecodeProjectFile's whole line list would encode to, with the
// key lines as they are now: the other lines as they were read, their line
// ends made CR LF. Nothing if an 8-bit line holds a character above U+00FF.
// The pieces refer to `text.bytes`.
std::optional<EncodedText> EncodeKeyLines(const ProjectText& text);

// `text`, UTF-16 code units, as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string EncodeUtf8(std::u16string_view text);

// The lines of the project file at `fullPath` that contain any of `keys`;
// nothing if it cannot be read, and then, with `whyNot`, why. The text
// refers to the platform's read buffer, valid until the next read.
std::optional<ProjectText> LoadProjectFile(Platform& platform, const std::u16string& fullPath,
                                           std::span<const std::u16string_view> keys,
                                           ReadFailure* whyNot = nullptr);

// Replaces the project file at `fullPath`, still the version it was loaded
// from, by its text with the key lines as they are now, keeping the replaced
// file as `backupPath`. A file left as it was gets a copy of itself as its
// backup instead where it has none. `whenKnown` gets the outcome, as from
// Platform::ReplaceWholeFile.
void SaveProjectFile(Platform& platform, const std::u16string& fullPath, const ProjectText& text,
                     const std::u16string& backupPath,
                     const std::function<void(const Outcome&)>& whenKnown);

}  // namespace lstconvert
