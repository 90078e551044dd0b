// The file operations of the Windows platform, on the plain Win32 API with
// wide characters throughout. File operations use the "\\?\" form of a full
// path, so long paths work and names such as "CON.lst" name files, not
// devices.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <optional>
#include <string>

#include "platform/platform.h"

namespace lstconvert {

inline const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

inline bool IsSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

// The "\\?\" form of an absolute path: "C:\x" becomes "\\?\C:\x" and
// "\\server\share\x" becomes "\\?\UNC\server\share\x". Other paths stay.
std::u16string ExtendedPath(const std::u16string& path);

// The bytes of the regular file at `path` and the version they were read
// from. Directories and devices are never read.
std::optional<FileContent> ReadRegularFile(const std::u16string& path);

// Puts a copy of the regular file `source` at `target` in one step; the
// version of `source` that was copied.
std::optional<FileVersion> CopyRegularFile(const std::u16string& source,
                                           const std::u16string& target);

// Puts `content` at `path` in one step, provided the file there is writable
// and still the version `read`.
bool ReplaceRegularFile(const std::u16string& path, const Bytes& content, const FileVersion& read);

}  // namespace lstconvert
