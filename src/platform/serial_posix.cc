// The POSIX serial port for D-PRS output: raw 8N1 through termios.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/baud_rate.h"
#include "platform/device_name.h"
#include "platform/platform.h"

namespace mirx::platform {

namespace {

// Raw 8N1 with the receiver on and no flow control of any kind: the device
// on the other end may have no handshake lines at all, and the bytes must
// reach it untranslated. `baud_rate_set` says whether the rate was a standard
// one; otherwise the port keeps the rate it has.
bool set_line(int fd, std::int32_t baud_rate, bool* baud_rate_set) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return false;
  ::cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  const std::optional<speed_t> code = baud_rate_code(baud_rate);
  *baud_rate_set = code.has_value();
  if (code && (::cfsetispeed(&t, *code) != 0 || ::cfsetospeed(&t, *code) != 0)) return false;
  return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace

serial_opened open_serial(const char* name, std::int32_t baud_rate) {
  serial_opened r{no_serial, device_path(name), 0, false};
  // Opened without blocking so that a modem line without carrier cannot hold
  // up start-up before CLOCAL is set, and kept so: a device that stops
  // taking data must never hold up the relay.
  const int fd = ::open(r.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    r.error = errno;
    return r;
  }
  // TIOCEXCL also refuses what is no terminal at all, so a plain file or a
  // directory under /dev is never taken for a port.
  if (::ioctl(fd, TIOCEXCL) != 0 || !set_line(fd, baud_rate, &r.baud_rate_set)) {
    r.error = errno;
    ::close(fd);
    return r;
  }
  r.handle = fd;
  return r;
}

serial_written write_serial(serial_handle h, const std::uint8_t* data, std::size_t length) {
  const ssize_t n = ::write(static_cast<int>(h), data, length);
  if (n >= 0) return {static_cast<std::size_t>(n), false, 0};
  const int error = errno;
  // EIO: a USB adapter unplugged or the other side of a pseudo-terminal
  // closed; ENXIO, ENODEV: the device itself is no more. Anything else
  // (EAGAIN above all) is a port that cannot take the bytes just now.
  return {0, error == EIO || error == ENXIO || error == ENODEV, error};
}

void close_serial(serial_handle h) {
  if (h == no_serial) return;
  // A tty's close waits until its output has been sent, up to half a minute
  // on some drivers. Give a device that drains 200 ms to take what is queued,
  // then throw away what it has not taken.
  const int fd = static_cast<int>(h);
  int queued = 0;
  for (int i = 0; i < 20 && ::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0; ++i) sleep_ms(10);
  ::tcflush(fd, TCOFLUSH);
  ::close(fd);
}

}  // namespace mirx::platform
