#pragma once

// Pseudo-terminals as the server's D-PRS serial port: one that a test reads
// itself, and a linked pair, like two serial ports joined by a null-modem
// cable, whose far end a real program opens as its device; and the streams
// that carry position reports to it.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "nodelib/slow_stream.h"
#include "e2e/server_process.h"
#include "nodelib/packets.h"

namespace mirx::e2e {

// A header and at least `frames` voice packets that carry `position` in
// their slow data, in whole superframes.
inline std::vector<bytes> position_stream(const std::string& position, std::uint16_t id,
                                          std::size_t frames = 0) {
  nodes::header_fields h;
  h.my_call = "JA1ABC";
  std::vector<bytes> stream{to_bytes(nodes::make_header(h, id))};
  const slow::stream_encoder slow_data("", position);
  frames = std::max(frames, (slow_data.frames_needed() / 21 + 1) * 21);
  for (std::size_t i = 0; i < frames; ++i)
    stream.push_back(
        to_bytes(nodes::make_voice(static_cast<std::uint16_t>(i % 21), slow_data.frame(i), id)));
  return stream;
}

// A pseudo-terminal whose slave the server opens by the name "pts/N". The
// slave stays open here too, so the master never sees a hang-up and the
// test can look at the line settings the server left on it. The master side
// of a Linux pty is raw from the start, and termios calls on it would change
// the slave instead; so the slave keeps its cooked defaults (output
// processing with LF to CR LF included) until the server sets it up.
struct pty {
  int master = -1, slave = -1;
  std::string name;  // "pts/N"

  pty() {
    char path[64] = {};
    if (::openpty(&master, &slave, path, nullptr, nullptr) != 0) return;
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    name = std::string(path).substr(std::strlen("/dev/"));
  }
  ~pty() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
  }
  pty(const pty&) = delete;
  pty& operator=(const pty&) = delete;

  termios line() const {
    termios t{};
    ::tcgetattr(slave, &t);
    return t;
  }
  // Gives the slave a known rate, keeping the cooked defaults otherwise.
  void set_speed(speed_t code) const {
    termios t = line();
    ::cfsetispeed(&t, code);
    ::cfsetospeed(&t, code);
    ::tcsetattr(slave, TCSANOW, &t);
  }
  bool exclusive() const {
    int on = 0;
    return ::ioctl(slave, TIOCGEXCL, &on) == 0 && on != 0;
  }

  // What the server wrote: reads until `wanted` bytes have come, or until
  // `quiet_ms` pass without a byte, within `max_ms` in all.
  std::string read(std::size_t wanted, int quiet_ms, int max_ms = 5000) const {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms);
    while (got.size() < wanted && std::chrono::steady_clock::now() < end) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, quiet_ms) <= 0) break;
      char buf[4096];
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }
};

// Two pseudo-terminals and a thread that copies what the server writes to
// the slave of `server_side` into the master of `program_side`, whose slave
// the program opens. The program's side starts raw, so nothing written
// before the program sets it up is echoed or has its line ends changed.
class pty_link {
 public:
  pty server_side, program_side;

  pty_link() {
    if (program_side.slave < 0 || server_side.master < 0) return;
    termios t = program_side.line();
    ::cfmakeraw(&t);
    ::tcsetattr(program_side.slave, TCSANOW, &t);
    // A program that stops reading must not block the copier for ever.
    ::fcntl(program_side.master, F_SETFL, ::fcntl(program_side.master, F_GETFL) | O_NONBLOCK);
    copier_ = std::thread([this] { copy(); });
  }
  ~pty_link() {
    stop_ = true;
    if (copier_.joinable()) copier_.join();
  }
  pty_link(const pty_link&) = delete;
  pty_link& operator=(const pty_link&) = delete;

  std::string program_device() const { return "/dev/" + program_side.name; }

 private:
  // Polls in short steps so that the destructor is never kept waiting.
  void copy() {
    while (!stop_) {
      pollfd p{server_side.master, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[256];
      const ssize_t n = ::read(server_side.master, buf, sizeof buf);
      if (n <= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      for (ssize_t done = 0; done < n && !stop_;) {
        const ssize_t w =
            ::write(program_side.master, buf + done, static_cast<std::size_t>(n - done));
        if (w > 0)
          done += w;
        else
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
  }
  std::atomic<bool> stop_{false};
  std::thread copier_;
};

// The slave's name must fit the six characters of DprsComPort.
#define REQUIRE_PTY(p)                                                \
  if ((p).master < 0) GTEST_SKIP() << "no pseudo-terminal available"; \
  if ((p).name.size() > 6) GTEST_SKIP() << (p).name << " does not fit the name field"

}  // namespace mirx::e2e
