// Real files for the tests of the platforms and of the built program: a
// temporary directory that is removed afterwards, and small file helpers.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>

#include "platform/platform.h"

namespace lstconvert::testing {

class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::mt19937_64 random(std::random_device{}() ^
                           std::chrono::steady_clock::now().time_since_epoch().count());
    for (;;) {
      path_ = std::filesystem::temp_directory_path() /
              ("lstconvert-test-" + std::to_string(random() % 1000000000));
      if (std::filesystem::create_directory(path_)) break;
    }
    path_ = std::filesystem::canonical(path_);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::set<std::string> Names(const std::filesystem::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

inline unsigned PermissionBits(const std::filesystem::path& path) {
  return static_cast<unsigned>(std::filesystem::symlink_status(path).permissions());
}

// `bytes` as the one piece of a file's content.
inline std::span<const std::string_view> OnePiece(const std::string_view& bytes) {
  return {&bytes, 1};
}

// Replaces the file at `path` through `platform` by `content`, as of the
// version `read`, the old file becoming "<path>.bak"; what became of it, once
// that has ended.
inline Outcome Replace(Platform& platform, const std::u16string& path, const Bytes& content,
                       const FileVersion& read) {
  const std::string_view piece = content;
  Outcome outcome{u"never told", u""};
  platform.ReplaceWholeFile(path, OnePiece(piece), read, path + u".bak",
                            [&](const Outcome& known) { outcome = known; });
  platform.Finish();
  return outcome;
}

// Reads the file at `path` through `platform` and replaces it by `content`;
// whether it was replaced, once that has ended.
inline bool ReadAndReplace(Platform& platform, const std::u16string& path, const Bytes& content) {
  const std::optional<FileContent> read = platform.ReadWholeFile(path);
  return Replace(platform, path, content, read ? read->version : FileVersion{}).done();
}

}  // namespace lstconvert::testing
