// The one seam between the conversion and the operating system. The batch and
// the conversion reach files, the message box and the console only through
// this interface, so tests can run them against an in-memory file system.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lstconvert {

// File content as raw bytes.
using Bytes = std::string;

// Which file a path named and in which state: its identity on its volume,
// its size and its last modification. Equal versions mean the same,
// unchanged file.
struct FileVersion {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;
  bool operator==(const FileVersion&) const = default;
};

// A file's bytes and the version they were read from. The bytes are the
// platform's: they stay valid until its next read.
struct FileContent {
  std::string_view bytes;
  FileVersion version;
};

// Why a file's content could not be had.
struct ReadFailure {
  enum class Kind {
    kMissing,     // no entry has the name
    kNotAFile,    // a folder, a FIFO, a device: never opened
    kUnreadable,  // the system refused to open or read it
    kTooLarge,    // it would not fit in the memory left
  } kind = Kind::kUnreadable;
  std::u16string reason;  // the system's words, where it gave any
};

// The names in a directory; an entry's full path is `directory` followed by
// its name.
struct DirectoryListing {
  std::u16string directory;  // the directory's absolute path, ending in a separator
  std::vector<std::u16string> names;
  // Those of `names` that are folders themselves: no link or junction to a
  // folder, and none of the program's temporary names.
  std::vector<std::u16string> folders;
  std::u16string failure;  // why it could not be read (whole), in the system's words
};

// What a path given on the command line names.
struct PathEntry {
  enum class Kind { kNothing, kFolder, kRegularFile, kOther } kind = Kind::kNothing;
  std::u16string
      folder;           // the folder's absolute path, or the file's folder's, ending in a separator
  std::u16string name;  // a file's name, as the path gives it
  FileVersion identity;   // `volume` and `file` tell the same folder or file however written
  std::u16string reason;  // why it names nothing, in the system's words
};

// What became of a file operation: done, or left undone at the step that
// failed, with the system's words for why where it gave any.
struct Outcome {
  std::u16string failedStep;  // empty when done
  std::u16string reason;
  bool done() const { return failedStep.empty(); }
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Starts the program's runtime; false means nothing else may run.
  virtual bool Startup() = 0;

  // The program's arguments after its name, as the user gave them (on
  // Windows as CommandLineToArgvW splits the command line).
  virtual std::vector<std::u16string> Arguments() = 0;

  // What `path` names (a link is followed), relative to the current
  // directory; "." is the current directory itself.
  virtual PathEntry LookUpPath(const std::u16string& path) = 0;

  // Every entry of the folder `directory` (an absolute path ending in a
  // separator) except "." and "..", in no particular order. Where it cannot
  // be read, or not to its end, the names read so far and why.
  virtual DirectoryListing ListDirectory(const std::u16string& directory) = 0;

  // The whole content of the regular file at `path` (a link is followed),
  // read into memory that serves every read of the run: it only grows, and
  // what a read does not fill is never cleared. Nothing if the path is not a
  // regular file or cannot be read, and then, with `whyNot`, why; never
  // opens, and so never blocks on, a FIFO, socket or device.
  virtual std::optional<FileContent> ReadWholeFile(const std::u16string& path,
                                                   ReadFailure* whyNot = nullptr) = 0;

  // Makes `target` a complete copy of the regular file `source`, with its
  // metadata as far as the file system keeps it, where no entry has the name
  // `target`, and returns the version of `source` that is copied. The copy
  // is written elsewhere and takes the name `target` only once it is on the
  // disk, in one durable step. An entry at `target` (a file, a directory, a
  // link) is left as it is and nothing is copied. On failure no other file
  // is left behind. The work may go on after the call returns, and has
  // ended when Finish returns; nothing is returned where it is known at once
  // that no copy is made.
  virtual std::optional<FileVersion> CopyToNewFile(const std::u16string& source,
                                                   const std::u16string& target) = 0;

  // Replaces the regular file at `path`, which must still be the version
  // `read`, by the bytes of `pieces`, one after the other (all written
  // before the call returns), in one durable step, and keeps the file it
  // replaces as `backup` (replacing whatever entry `backup` names): the
  // backup is durably in place before the project is replaced, and when it
  // cannot be made nothing is replaced. When `path` is not replaced, an
  // entry at `backup` stays as it is; where there is none, `backup` becomes
  // a copy of `path`. The new file gets the metadata of the old one as far
  // as the file system allows; copying it never decides the outcome. A link
  // at `path` becomes a regular file and its target is left alone. A
  // read-only file is not replaced. No handle of `path` is open while it is
  // replaced, since file servers refuse to replace an open file. On failure
  // `path` keeps its bytes and no other file is left behind. The work may go
  // on after the call returns, while later files are worked on, and has
  // ended when Finish returns. `whenKnown` is called once with the outcome,
  // once it is on the disk or known to fail: before the call returns or
  // later, from another thread, but before Finish returns.
  virtual void ReplaceWholeFile(const std::u16string& path,
                                std::span<const std::string_view> pieces, const FileVersion& read,
                                const std::u16string& backup,
                                const std::function<void(const Outcome&)>& whenKnown) = 0;

  // Whether the file at `path` is read-only: one that ReplaceWholeFile
  // leaves as it is for that alone. It looks only.
  virtual bool IsReadOnly(const std::u16string& path) = 0;

  // Puts the file `backup` (a link is not followed) in the place of the
  // regular file at `path`, which must still be the version `read`, in one
  // durable step: the backup's data on the disk, renamed over `path`, the
  // directory flushed. `path` is then the backup's file, metadata and all,
  // and `backup` names nothing. Held files are waited for as for a
  // replacement. On failure both stay as they were.
  virtual Outcome RestoreBackup(const std::u16string& path, const std::u16string& backup,
                                const FileVersion& read) = 0;

  // Returns once every replacement and copy begun has ended, durably, with
  // no temporary file left. After an interrupt it does not return: the process
  // ends as the interrupt ends it.
  virtual void Finish() = 0;

  // Lets go of the folder locked before, if any, then waits until no other
  // run of the program works in the folder `directory`, and keeps other runs
  // out until the next call or until this process ends, however it ends.
  // While it waits, one line on standard error says so. False where the
  // file system cannot lock, or when the run is interrupted while it waits:
  // the run goes on unlocked then.
  virtual bool LockDirectory(const std::u16string& directory) = 0;

  // Removes the temporary files that a run which could not clean up (killed,
  // or cut off by a power failure) left in the folder `directory`. Only for
  // a run that holds its lock: no other run can own them then.
  virtual void RemoveLeftoverFiles(const std::u16string& directory) = 0;

  // True once the user has asked the run to stop (Ctrl+C, SIGTERM, a closed
  // console window): no further project is to be begun.
  virtual bool Interrupted() = 0;

  // Shows `text` to the user, captioned with the program's name, and returns
  // once the user has dismissed it.
  virtual void ShowMessage(const std::u16string& text) = 0;

  // Writes `text` to standard output.
  virtual void WriteConsoleText(const std::u16string& text) = 0;

  // Writes the UTF-8 text `text` to standard output: to a Windows console as
  // the characters it encodes, elsewhere as it is.
  virtual void WriteConsoleUtf8(std::string_view text) = 0;

  // Writes `text` to standard error.
  virtual void WriteErrorText(const std::u16string& text) = 0;

  // Tells the user why the program cannot do what it was asked to: each line
  // of `text` on standard error after the program's name.
  virtual void WriteError(const std::u16string& text) = 0;

  // Where the program's console window is its own and closes when it ends
  // (started from Explorer), waits for Enter so that what it wrote can be
  // read; returns at once elsewhere.
  virtual void HoldOwnConsole() = 0;

  // Where the program's console window is its own and closes when it ends
  // (started from Explorer, or by dropping files on it), shows `text` in a
  // message box and returns once it is dismissed, since the window takes
  // what was written to it away. Does nothing elsewhere.
  virtual void ShowOnOwnConsole(const std::u16string& text) = 0;
};

// The platform of the running process, from the arguments of main.
std::unique_ptr<Platform> CreatePlatform(int argc, char** argv);

}  // namespace lstconvert
