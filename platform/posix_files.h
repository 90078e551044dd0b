// The file operations of the POSIX platform, on native paths (byte strings).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace lstconvert {

// Writes all of `bytes` to `fd`; false on an error.
bool WriteAll(int fd, std::string_view bytes);

// The bytes of the regular file at `path` and the version they were read
// from. A path that is not a regular file is never opened.
std::optional<FileContent> ReadRegularFile(const std::string& path);

// Puts a copy of the regular file `source`, with its metadata, at `target`
// in one durable step; the version of `source` that was copied.
std::optional<FileVersion> CopyRegularFile(const std::string& source, const std::string& target);

// Puts `content` at `path` in one durable step, with the metadata of the
// file there, provided that file is writable and still the version `read`;
// the file replaced becomes `backup` first.
bool ReplaceRegularFile(const std::string& path, std::string_view content, const FileVersion& read,
                        const std::string& backup);

}  // namespace lstconvert
