// Memory for the bytes of the files a run reads, shared by all its reads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

namespace lstconvert {

// Only grows, and what a read does not fill is never cleared: no file costs
// fresh, zero-filled pages once an earlier one was as large.
class ReadBuffer {
 public:
  // At least `size` bytes of room, the first `keep` of them as they were.
  char* Room(std::size_t size, std::size_t keep) {
    if (size > capacity_) {
      const std::size_t grown = std::max(size, capacity_ + capacity_ / 2);
      std::unique_ptr<char[]> larger = std::make_unique_for_overwrite<char[]>(grown);
      if (keep > 0) std::memcpy(larger.get(), data_.get(), keep);
      data_ = std::move(larger);
      capacity_ = grown;
    }
    return data_.get();
  }
  std::size_t capacity() const { return capacity_; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
};

}  // namespace lstconvert
