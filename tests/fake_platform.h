// An in-memory platform for tests: a current directory of entries, recorded
// messages and console output, and a failure that can be injected at any
// single file operation.
#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace lstconvert::testing {

enum class EntryKind { kRegularFile, kDirectory, kFifo };

struct FakeEntry {
  EntryKind kind = EntryKind::kRegularFile;
  Bytes content;
  bool readOnly = false;
  std::uint64_t file = 0;  // a new number for every file written, as an inode
};

class FakePlatform final : public Platform {
 public:
  static constexpr char16_t kDirectory[] = u"/work/";

  static constexpr char16_t kFailureReason[] = u"Input/output error";

  bool startupSucceeds = true;
  std::vector<std::u16string> arguments;
  // Entries of the current directory by name.
  std::map<std::u16string, FakeEntry> entries;
  std::vector<std::u16string> messages;
  std::u16string console, errors;
  std::string utf8;  // standard output written as UTF-8
  // Whether the directory can be locked, and what the batch did after it.
  bool lockable = true;
  bool leftoversRemoved = false;
  bool finished = false;
  // The user interrupts the run, or will while the first message is shown.
  bool interrupted = false;
  bool interruptAtMessage = false;
  // File operations so far (reads, copies, replaces), counted from 1.
  int fileOperations = 0;
  // The file operation with this number fails without any effect.
  std::optional<int> failingOperation;
  // Right after the file operation with this number the process "dies":
  // ProcessDied is thrown out of the platform.
  std::optional<int> dyingAfterOperation;
  struct ProcessDied {};

  void AddFile(const std::u16string& name, const Bytes& content) {
    entries[name] = {EntryKind::kRegularFile, content, false, ++filesWritten_};
  }
  // The version ReadWholeFile gives for the regular file `name`.
  FileVersion Version(const std::u16string& name) const {
    const FakeEntry& entry = entries.at(name);
    return {0, entry.file, entry.content.size(), 0};
  }
  // Content of the regular file `name`, or nothing.
  std::optional<Bytes> Content(const std::u16string& name) const {
    const auto found = entries.find(name);
    if (found == entries.end() || found->second.kind != EntryKind::kRegularFile) return {};
    return found->second.content;
  }

  bool Startup() override { return startupSucceeds; }

  std::vector<std::u16string> Arguments() override { return arguments; }

  // "." and kDirectory name the current directory, a bare name its entry.
  PathEntry LookUpPath(const std::u16string& path) override {
    if (path == u"." || path == kDirectory) {
      return {PathEntry::Kind::kFolder, kDirectory, {}, {0, 1, 0, 0}, {}};
    }
    const auto found = entries.find(path);
    if (found == entries.end()) {
      return {PathEntry::Kind::kNothing, {}, {}, {}, u"No such file or directory"};
    }
    const EntryKind kind = found->second.kind;
    return {kind == EntryKind::kDirectory     ? PathEntry::Kind::kFolder
            : kind == EntryKind::kRegularFile ? PathEntry::Kind::kRegularFile
                                              : PathEntry::Kind::kOther,
            kDirectory,
            path,
            {0, found->second.file + 2, 0, 0},
            {}};
  }

  // In a fixed scrambled order, as a real directory gives no order either.
  DirectoryListing ListDirectory(const std::u16string& directory) override {
    DirectoryListing listed{directory, {}, {}, {}};
    if (directory != kDirectory) return listed;
    for (const auto& [name, entry] : entries) {
      listed.names.push_back(name);
      if (entry.kind == EntryKind::kDirectory) listed.folders.push_back(name);
    }
    std::shuffle(listed.names.begin(), listed.names.end(), std::mt19937(7));
    return listed;
  }

  std::optional<FileContent> ReadWholeFile(const std::u16string& path,
                                           ReadFailure* whyNot) override {
    const bool failed = Fails();
    DieIfDue();
    const FakeEntry* entry = failed ? nullptr : Find(path);
    if (entry != nullptr && entry->kind == EntryKind::kRegularFile) {
      lastRead_ = entry->content;
      return FileContent{lastRead_, Version(Name(path))};
    }
    using enum ReadFailure::Kind;
    if (whyNot != nullptr) {
      *whyNot = {failed             ? kUnreadable
                 : entry == nullptr ? kMissing
                                    : kNotAFile,
                 failed ? kFailureReason : u""};
    }
    return std::nullopt;
  }

  std::optional<FileVersion> CopyToNewFile(const std::u16string& source,
                                           const std::u16string& target) override {
    if (Fails()) return std::nullopt;
    const FakeEntry* from = Find(source);
    if (from == nullptr || from->kind != EntryKind::kRegularFile || Find(target) != nullptr) {
      DieIfDue();
      return std::nullopt;
    }
    const FileVersion copied = Version(Name(source));
    entries[Name(target)] = {EntryKind::kRegularFile, from->content, from->readOnly,
                             ++filesWritten_};
    DieIfDue();
    return copied;
  }

  // The backup step and the replacement count as two file operations, as
  // the two renames they are on disk. A file not replaced gets a copy of
  // itself as its backup where it has none. Each failing step is told as
  // the real platforms tell it, with kFailureReason as the system's words.
  void ReplaceWholeFile(const std::u16string& path, std::span<const std::string_view> pieces,
                        const FileVersion& read, const std::u16string& backup,
                        const std::function<void(const Outcome&)>& whenKnown) override {
    Bytes content;
    for (const std::string_view piece : pieces) content += piece;
    if (Fails()) return whenKnown({u"not written", kFailureReason});
    FakeEntry* entry = Find(path);
    const FakeEntry* old = Find(backup);
    if (entry == nullptr || entry->kind != EntryKind::kRegularFile) {
      return whenKnown({u"not opened again", u"No such file or directory"});
    }
    if (entry->readOnly || Version(Name(path)) != read) {
      if (old == nullptr) {
        entries[Name(backup)] = {EntryKind::kRegularFile, entry->content, entry->readOnly,
                                 ++filesWritten_};
      }
      DieIfDue();
      return whenKnown(
          {entry->readOnly ? u"read-only" : u"changed by another program since it was read", u""});
    }
    if (old != nullptr && old->kind == EntryKind::kDirectory) {
      return whenKnown({u"backup not made", u"Is a directory"});
    }
    entries[Name(backup)] = *entry;
    DieIfDue();
    if (Fails()) return whenKnown({u"not put in place", kFailureReason});
    *entry = {EntryKind::kRegularFile, content, false, ++filesWritten_};
    DieIfDue();
    whenKnown({});
  }

  bool IsReadOnly(const std::u16string& path) override {
    const FakeEntry* entry = Find(path);
    return entry != nullptr && entry->readOnly;
  }

  // One file operation: the backup renamed over the project.
  Outcome RestoreBackup(const std::u16string& path, const std::u16string& backup,
                        const FileVersion& read) override {
    if (Fails()) return {u"not put back", kFailureReason};
    const FakeEntry* project = Find(path);
    if (project == nullptr || Version(Name(path)) != read) {
      return {u"changed by another program since it was read", u""};
    }
    entries[Name(path)] = entries.at(Name(backup));
    entries.erase(Name(backup));
    DieIfDue();
    return {};
  }

  void Finish() override { finished = true; }
  bool LockDirectory(const std::u16string&) override { return lockable; }
  void RemoveLeftoverFiles(const std::u16string&) override { leftoversRemoved = true; }
  bool Interrupted() override { return interrupted; }

  void ShowMessage(const std::u16string& text) override {
    messages.push_back(text);
    interrupted = interrupted || interruptAtMessage;
  }
  void WriteConsoleText(const std::u16string& text) override { console += text; }
  void WriteErrorText(const std::u16string& text) override { errors += text; }
  void WriteConsoleUtf8(std::string_view text) override { utf8 += text; }
  void WriteError(const std::u16string& text) override { errors += text; }
  void HoldOwnConsole() override {}
  void ShowOnOwnConsole(const std::u16string&) override {}

 private:
  std::uint64_t filesWritten_ = 0;
  Bytes lastRead_;

  bool Fails() {
    ++fileOperations;
    if (fileOperations == failingOperation) {
      DieIfDue();
      return true;
    }
    return false;
  }
  void DieIfDue() const {
    if (fileOperations == dyingAfterOperation) throw ProcessDied();
  }

  static std::u16string Name(const std::u16string& path) {
    const std::u16string directory = kDirectory;
    return path.starts_with(directory) ? path.substr(directory.size()) : u"";
  }
  FakeEntry* Find(const std::u16string& path) {
    const auto found = entries.find(Name(path));
    return found == entries.end() ? nullptr : &found->second;
  }
};

// The two refusal messages, spelled out here so that a changed text fails.
inline std::u16string Unsaved(const std::u16string& path) {
  return u"The file " + path +
         u" must be saved in the List&Label designer. It cannot be processed!";
}
inline std::u16string Bound(const std::u16string& path) {
  return u"The file " + path +
         u" has been set to work with the table Partlist in the List&Label designer. It cannot be "
         u"processed!";
}

}  // namespace lstconvert::testing
