#include "app/report.h"

namespace lstconvert {

std::size_t ProjectReport::Begin() {
  const std::lock_guard<std::mutex> lock(mutex_);
  waiting_.emplace_back();
  return first_ + waiting_.size() - 1;
}

void ProjectReport::Settle(std::size_t place, std::u16string line) {
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

std::u16string ProjectReport::LineFor(const std::u16string& path, const Outcome& outcome) {
  if (outcome.done()) return u"converted " + path;
  return u"left " + path + u": " + outcome.failedStep +
         (outcome.reason.empty() ? u"" : u": " + outcome.reason);
}

}  // namespace lstconvert
