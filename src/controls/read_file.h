#pragma once

// How the controls read their files: never anything but a regular file, never
// blocking on the open, never more than a bound. A FIFO, a device, a
// directory or an endless file is a file that cannot be read, with a reason.

#include <cstddef>
#include <string>

namespace mirx {

// No access list or saved table comes near this; a file that does is not one.
inline constexpr std::size_t largest_control_file = 16u << 20;

// The whole of the file at `path`; false with the reason in `why`, and
// `*missing` set when there is no such file.
bool read_control_file(const char* path, std::string& text, std::string& why,
                       bool* missing = nullptr);

}  // namespace mirx
