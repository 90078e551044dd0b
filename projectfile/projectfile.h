// Project files: bytes on disk <-> a line list and its encoding mode.
#pragma once

#include <optional>
#include <string>
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
};

// Splits a file's bytes into lines. Every byte and code unit, U+0000 and
// unpaired surrogates included, is kept. A UTF-16LE file with an odd number
// of bytes after its mark cannot be represented and gives no lines, as does
// an empty file.
ProjectText DecodeProjectFile(const Bytes& bytes);

// The bytes of a line list in the given mode, every line followed by CR LF.
// Nothing if an 8-bit line holds a character above U+00FF.
std::optional<Bytes> EncodeProjectFile(const Lines& lines, EncodingMode mode);

// The project file at `fullPath`; no lines if it cannot be read.
ProjectText LoadProjectFile(Platform& platform, const std::u16string& fullPath);

// Replaces the project file at `fullPath`, still the version it was loaded
// from, by the encoded lines, keeping the replaced file as `backupPath`;
// false if it was left as it was.
bool SaveProjectFile(Platform& platform, const std::u16string& fullPath, const ProjectText& text,
                     const std::u16string& backupPath);

}  // namespace lstconvert
