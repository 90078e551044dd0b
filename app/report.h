// The report of a run: with --verbose, one line for each project, in the
// order the projects are worked through, each written once what became of
// its project is known, and a count of each outcome at the end; in any
// case, which projects were left as they were for a failed file operation.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace lstconvert {

class ProjectReport {
 public:
  // What became of a project.
  enum class Verdict { kConverted, kRefused, kLeft, kRestored, kKept };

  // Writes nothing unless `verbose`. For a dry run, each line tells what a
  // run would do: "would convert <path>", "would refuse <path>: <why>" ...
  ProjectReport(Platform& platform, bool verbose, bool dryRun = false)
      : platform_(platform), verbose_(verbose), dryRun_(dryRun) {}

  // A project begun; its place in the report.
  std::size_t Begin();

  // The project at `place`, `path`, came to `verdict`, for the reason `why`
  // where there is one. Its line, "<verdict> <path>[: <why>]", is written,
  // with those after it that are known, once the lines of the projects
  // before it are. May be called from any thread.
  void Settle(std::size_t place, Verdict verdict, const std::u16string& path,
              const std::u16string& why = {});

  // The project at `place` had nothing done to it worth a line (nothing to
  // undo).
  void SettleSilently(std::size_t place);

  // The project at `place` was converted, or left at the step of `outcome`
  // that failed.
  void SettleReplacement(std::size_t place, const std::u16string& path, const Outcome& outcome);

  // Once every project is settled: with --verbose, the line that counts the
  // outcomes, "3 converted, 2 refused, 1 left" (for --undo restored, kept
  // and left).
  void WriteCounts(bool undo);

  // How many projects were left as they were for a failed file operation.
  std::size_t left();

  // The projects left, a line "<path>: <why>" each, the first `most` of
  // them, then how many more.
  std::u16string LeftProjects(std::size_t most);

 private:
  // A line waiting for those before it; empty for a project without one.
  void Place(std::size_t place, std::u16string line);

  Platform& platform_;
  bool verbose_, dryRun_;
  std::mutex mutex_;
  std::deque<std::optional<std::u16string>> waiting_;  // from place `first_` on
  std::size_t first_ = 0;
  std::array<std::size_t, 5> counts_{};  // by Verdict
  // "<path>: <why>" of each project left, with its place: they become known
  // out of order.
  std::vector<std::pair<std::size_t, std::u16string>> left_;
};

}  // namespace lstconvert
