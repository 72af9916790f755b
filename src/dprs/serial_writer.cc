#include "dprs/serial_writer.h"

#include <cstring>
#include <utility>

namespace mirx::dprs {

void serial_writer::attach(platform::serial_handle handle, const char* name, std::int32_t baud_rate,
                           std::string device, output& out) {
  handle_ = handle;
  name_ = name;
  baud_rate_ = baud_rate;
  device_ = std::move(device);
  out_ = &out;
}

void serial_writer::write(const std::uint8_t* data, std::size_t length) {
  if (lost_) return;  // dropped without a count: the loss has been reported
  if (held_size_ > 0) {
    // Held bytes go first, so the port receives everything in order.
    if (clock::now() >= next_try_) push_held();
    if (lost_) return;
    if (held_size_ > 0) return hold_or_drop(data, length);
  }
  const platform::serial_written w = platform::write_serial(handle_, data, length);
  if (w.gone) return lose(w.error);
  if (w.taken < length) hold_or_drop(data + w.taken, length - w.taken);
}

void serial_writer::tick() {
  if (lost_) {
    if (clock::now() >= next_try_) try_reopen();
  } else if (held_size_ > 0 && clock::now() >= next_try_) {
    push_held();
  }
}

void serial_writer::close() {
  platform::close_serial(handle_);
  handle_ = platform::no_serial;
  lost_ = false;
  held_size_ = 0;
}

void serial_writer::push_held() {
  const platform::serial_written w = platform::write_serial(handle_, held_.data(), held_size_);
  if (w.gone) return lose(w.error);
  std::memmove(held_.data(), held_.data() + w.taken, held_size_ - w.taken);
  held_size_ -= w.taken;
  next_try_ = clock::now() + (w.taken > 0 ? push_gap : stalled_gap);
  if (held_size_ > 0 || !dropping_) return;
  out_->say(shown::always,
            "%.24s D-PRS port %s takes data again: %llu bytes in %llu writes dropped\n",
            time_stamp().text, device_.c_str(), static_cast<unsigned long long>(dropped_bytes_),
            static_cast<unsigned long long>(dropped_writes_));
  dropping_ = false;
}

// What the port did not take waits in the held buffer when it fits there as
// a whole; otherwise the whole write is dropped, so no report is cut at an
// arbitrary byte where that can be avoided.
void serial_writer::hold_or_drop(const std::uint8_t* data, std::size_t length) {
  if (held_size_ == 0) next_try_ = clock::now() + push_gap;
  if (held_size_ + length <= held_.size()) {
    std::memcpy(held_.data() + held_size_, data, length);
    held_size_ += length;
    return;
  }
  if (!dropping_) {
    out_->say(shown::always, "%.24s D-PRS port %s does not take data: dropping position bytes\n",
              time_stamp().text, device_.c_str());
    dropping_ = true;
    dropped_bytes_ = 0;
    dropped_writes_ = 0;
  }
  dropped_bytes_ += length;
  ++dropped_writes_;
}

void serial_writer::lose(int error) {
  if (dropping_)
    out_->say(shown::always, "%.24s D-PRS port %s: %llu bytes in %llu writes dropped\n",
              time_stamp().text, device_.c_str(), static_cast<unsigned long long>(dropped_bytes_),
              static_cast<unsigned long long>(dropped_writes_));
  dropping_ = false;
  platform::close_serial(handle_);
  handle_ = platform::no_serial;
  held_size_ = 0;
  lost_ = true;
  next_try_ = clock::now() + reopen_gap;
  out_->say(shown::always, "%.24s D-PRS port %s lost : %s (opening it again every %d s)\n",
            time_stamp().text, device_.c_str(), platform::error_text(error).c_str(),
            static_cast<int>(reopen_gap.count()));
}

void serial_writer::try_reopen() {
  const platform::serial_opened port = platform::open_serial(name_.c_str(), baud_rate_);
  if (port.handle == platform::no_serial) {
    next_try_ = clock::now() + reopen_gap;
    return;
  }
  handle_ = port.handle;
  lost_ = false;
  out_->say(shown::always, "%.24s D-PRS port %s is back\n", time_stamp().text, device_.c_str());
}

}  // namespace mirx::dprs
