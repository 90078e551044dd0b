#include "app/report.h"

#include <algorithm>
#include <string_view>

namespace lstconvert {
namespace {

constexpr std::u16string_view kVerdictWords[] = {u"converted", u"refused", u"left", u"restored",
                                                 u"kept"};
constexpr std::u16string_view kDryRunWords[] = {u"would convert", u"would refuse", u"would leave",
                                                u"would restore", u"would keep"};

std::u16string Number(std::size_t number) {
  const std::string digits = std::to_string(number);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace

std::size_t ProjectReport::Begin() {
  const std::lock_guard<std::mutex> lock(mutex_);
  waiting_.emplace_back();
  return first_ + waiting_.size() - 1;
}

void ProjectReport::Settle(std::size_t place, Verdict verdict, const std::u16string& path,
                           const std::u16string& why) {
  const auto index = static_cast<std::size_t>(verdict);
  std::u16string line =
      std::u16string(dryRun_ ? kDryRunWords[index] : kVerdictWords[index]) + u" " + path;
  if (!why.empty()) line += u": " + why;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++counts_[index];
    if (verdict == Verdict::kLeft) left_.emplace_back(place, path + u": " + why);
  }
  Place(place, std::move(line));
}

void ProjectReport::SettleSilently(std::size_t place) { Place(place, {}); }

void ProjectReport::SettleReplacement(std::size_t place, const std::u16string& path,
                                      const Outcome& outcome) {
  if (outcome.done()) return Settle(place, Verdict::kConverted, path);
  Settle(place, Verdict::kLeft, path,
         outcome.failedStep + (outcome.reason.empty() ? u"" : u": " + outcome.reason));
}

void ProjectReport::Place(std::size_t place, std::u16string line) {
  const std::lock_guard<std::mutex> lock(mutex_);
  waiting_[place - first_] = std::move(line);
  std::u16string text;
  while (!waiting_.empty() && waiting_.front()) {
    if (!waiting_.front()->empty()) text += *waiting_.front() + u"\n";
    waiting_.pop_front();
    ++first_;
  }
  if (verbose_ && !text.empty()) platform_.WriteConsoleText(text);
}

void ProjectReport::WriteCounts(bool undo) {
  if (!verbose_) return;
  const std::lock_guard<std::mutex> lock(mutex_);
  const Verdict shown[2][3] = {{Verdict::kConverted, Verdict::kRefused, Verdict::kLeft},
                               {Verdict::kRestored, Verdict::kKept, Verdict::kLeft}};
  std::u16string line;
  for (const Verdict verdict : shown[undo ? 1 : 0]) {
    const auto index = static_cast<std::size_t>(verdict);
    line += (line.empty() ? u"" : u", ") + Number(counts_[index]) + u" " +
            std::u16string(kVerdictWords[index]);
  }
  platform_.WriteConsoleText(line + u"\n");
}

std::size_t ProjectReport::left() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return left_.size();
}

std::u16string ProjectReport::LeftProjects(std::size_t most) {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::sort(left_.begin(), left_.end());
  std::u16string text;
  for (std::size_t i = 0; i < left_.size() && i < most; ++i) text += left_[i].second + u"\n";
  if (left_.size() > most) text += u"and " + Number(left_.size() - most) + u" more\n";
  return text;
}

}  // namespace lstconvert
