#pragma once

// The termios speed code for a configured DprsBaudRate. Only the standard
// rates have one; 0 has none on purpose, since B0 would hang up the line
// instead of setting a rate.

#include <termios.h>

#include <cstdint>
#include <optional>

namespace mirx::platform {

std::optional<speed_t> baud_rate_code(std::int32_t rate);

}  // namespace mirx::platform
