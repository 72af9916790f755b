// POSIX implementation of the platform layer, the parts that are no socket,
// file, signal or serial port: the edition, the console's buffering, the
// local time, error texts and sleeping. The others have a file each:
// sockets_posix.cc, files_posix.cc, signals_posix.cc, serial_posix.cc.

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace mirx::platform {

const char* edition() {
  return "Linux edition (POSIX sockets, termios)";
}

void console_by_line() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

std::tm local_time(std::time_t now) {
  std::tm t{};
  localtime_r(&now, &t);
  return t;
}

std::tm utc_time(std::time_t now) {
  std::tm t{};
  gmtime_r(&now, &t);
  return t;
}

std::string error_text(int code) {
  return std::strerror(code);
}

void sleep_ms(int ms) {
  timespec t{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

}  // namespace mirx::platform
