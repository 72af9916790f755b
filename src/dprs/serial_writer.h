#pragma once

// Position bytes to the serial port without ever waiting for it. A device
// that takes the bytes gets every write exactly as it comes. A device that
// cannot take them just now gets them a little later from a small held
// buffer; once that is full, whole writes are dropped and counted, so the
// relay never waits for a reader that has stalled. A device that goes away
// is closed and opened again every few seconds until it is back.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "dprs/dprs.h"
#include "output/output.h"
#include "platform/platform.h"

namespace mirx::dprs {

class serial_writer final : public byte_sink {
 public:
  using clock = std::chrono::steady_clock;
  // Bytes held while the port cannot take them: about half a second at
  // 4800 bit/s, many reports' worth of blocks, and never more.
  static constexpr std::size_t held_capacity = 256;
  // Held bytes are offered again after `push_gap`, or after `stalled_gap`
  // when the port took nothing last time: where a write waits for the device
  // (Windows), a stalled port then costs the relay almost nothing.
  static constexpr std::chrono::milliseconds push_gap{50};
  static constexpr std::chrono::milliseconds stalled_gap{500};
  static constexpr std::chrono::seconds reopen_gap{3};

  // Starts writing to the open port `handle`, which `name` and `baud_rate`
  // open again after it was lost; `device` names it in messages.
  void attach(platform::serial_handle handle, const char* name, std::int32_t baud_rate,
              std::string device, output& out);
  void write(const std::uint8_t* data, std::size_t length) override;
  // Called on every turn of the receive loop: hands held bytes to the port,
  // and opens a lost port again when it is time.
  void tick();
  // Closes the port for good (the stop).
  void close();

 private:
  void push_held();
  void hold_or_drop(const std::uint8_t* data, std::size_t length);
  void lose(int error);
  void try_reopen();

  output* out_ = nullptr;
  platform::serial_handle handle_ = platform::no_serial;
  std::string name_;
  std::string device_;
  std::int32_t baud_rate_ = 0;
  bool lost_ = false;
  clock::time_point next_try_{};
  std::array<std::uint8_t, held_capacity> held_{};
  std::size_t held_size_ = 0;
  bool dropping_ = false;
  std::uint64_t dropped_bytes_ = 0;
  std::uint64_t dropped_writes_ = 0;
};

}  // namespace mirx::dprs
