// The one seam between the conversion and the operating system. The batch and
// the conversion reach files, the message box and the console only through
// this interface, so tests can run them against an in-memory file system.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lstconvert {

// File content as raw bytes.
using Bytes = std::string;

struct DirectoryEntry {
  std::u16string name;      // the entry's name within the current directory
  std::u16string fullPath;  // current directory, a separator unless it ends in one, the name
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Starts the program's runtime; false means nothing else may run.
  virtual bool Startup() = 0;

  // Every entry of the current directory except "." and "..", in no
  // particular order. Empty if the directory cannot be read.
  virtual std::vector<DirectoryEntry> ListCurrentDirectory() = 0;

  // The whole content of the regular file at `path` (a link is followed).
  // Nothing if the path is not a regular file or cannot be read; never
  // opens, and so never blocks on, a FIFO, socket or device.
  virtual std::optional<Bytes> ReadWholeFile(const std::u16string& path) = 0;

  // Makes `target` a complete copy of the regular file `source`. The copy is
  // written elsewhere first and then put in place in one step, replacing
  // whatever entry `target` names (a link there is replaced, not followed).
  // On failure `target` is as it was and no other file is left behind.
  virtual bool CopyWholeFile(const std::u16string& source, const std::u16string& target) = 0;

  // Replaces the content of the regular file at `path` by `content` in one
  // step, keeping its permission bits; a link at `path` becomes a regular
  // file and its target is left alone. A read-only file is not replaced. On
  // failure `path` keeps its old bytes and no other file is left behind.
  virtual bool ReplaceWholeFile(const std::u16string& path, const Bytes& content) = 0;

  // Shows `text` to the user, captioned with the program's name, and returns
  // once the user has dismissed it.
  virtual void ShowMessage(const std::u16string& text) = 0;

  // Writes `text` to standard output.
  virtual void WriteConsoleText(const std::u16string& text) = 0;
};

// The platform of the running process, from the arguments of main.
std::unique_ptr<Platform> CreatePlatform(int argc, char** argv);

}  // namespace lstconvert
