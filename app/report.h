// The report of --verbose: one line for each project, in the order the
// projects are worked through, each written once what became of its project
// is known.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace lstconvert {

class ProjectReport {
 public:
  // Writes nothing unless `verbose`.
  ProjectReport(Platform& platform, bool verbose) : platform_(platform), verbose_(verbose) {}

  // A project begun; its place in the report.
  std::size_t Begin();

  // The line of the project at `place`: written, with those after it that
  // are known, once the lines of the projects before it are; an empty one
  // writes nothing. May be called from any thread.
  void Settle(std::size_t place, std::u16string line);

  // The line for a replacement's outcome: "converted <path>", or
  // "left <path>: <step>[: <reason>]".
  static std::u16string LineFor(const std::u16string& path, const Outcome& outcome);

 private:
  Platform& platform_;
  bool verbose_;
  std::mutex mutex_;
  std::deque<std::optional<std::u16string>> waiting_;  // from place `first_` on
  std::size_t first_ = 0;
};

}  // namespace lstconvert
