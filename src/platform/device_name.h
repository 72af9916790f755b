#pragma once

// How a configured DprsComPort name (at most six characters) stands for a
// serial device on Linux. The usual names there do not fit in six characters,
// so short aliases cover the common ports:
//   "comN" (any case, N >= 1)  /dev/ttyS(N-1)   the default "com1" is /dev/ttyS0
//   "usbN" (any case)          /dev/ttyUSBN     USB serial adapters
//   "acmN" (any case)          /dev/ttyACMN     USB modems and CDC devices
//   anything else              /dev/<name>      so "pts/3" is /dev/pts/3

#include <string>

namespace mirx::platform {

std::string device_path(const char* name);

}  // namespace mirx::platform
