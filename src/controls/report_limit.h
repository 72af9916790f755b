#pragma once

// Keeps a flood of refusals from becoming a flood of lines: the first few
// events of each second are reported in full, the rest only counted and
// summed up once a second. Every event is counted either way.

#include <cstdint>
#include <ctime>

namespace mirx {

class report_limit {
 public:
  static constexpr unsigned lines_per_second = 5;

  // Counts an event at `now`; true when it may be reported in full.
  bool admit(std::time_t now) {
    ++total_;
    if (now != second_) {
      second_ = now;
      shown_ = 0;
    }
    if (shown_ < lines_per_second) {
      ++shown_;
      return true;
    }
    ++held_;
    return false;
  }
  // The events counted but not reported since the last call.
  std::uint64_t take_held() {
    const std::uint64_t h = held_;
    held_ = 0;
    return h;
  }
  std::uint64_t total() const { return total_; }

 private:
  std::time_t second_ = 0;
  unsigned shown_ = 0;
  std::uint64_t held_ = 0;
  std::uint64_t total_ = 0;
};

}  // namespace mirx
