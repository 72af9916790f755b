#pragma once

#include "dprs/dprs.h"
#include "platform/platform.h"

namespace mirx::dprs {

// Position bytes to the open serial port.
class serial_sink final : public byte_sink {
 public:
  platform::serial_handle handle = platform::no_serial;
  void write(const std::uint8_t* data, std::size_t length) override {
    platform::write_serial(handle, data, length);
  }
};

}  // namespace mirx::dprs
