// POSIX implementation of the platform layer: UDP sockets over IPv4, poll,
// nanosleep, stop signals handled on a thread of their own, and a termios
// serial port.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "platform/baud_rate.h"
#include "platform/console.h"
#include "platform/device_name.h"
#include "platform/platform.h"

namespace platform {

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

int no_buffer_space_code() {
  return ENOBUFS;
}

std::string error_text(int code) {
  return std::strerror(code);
}

bool start_sockets() {
  return true;
}

socket_handle open_udp_socket() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? no_socket : fd;
}

int bind_any(socket_handle s, std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(static_cast<int>(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return 0;
  return errno;
}

void set_receive_buffer(socket_handle s, int bytes) {
  // SO_RCVBUF is capped by net.core.rmem_max (about 200 KiB on a stock
  // kernel); a server running with CAP_NET_ADMIN may go past the cap.
  if (::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
    ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void close_socket(socket_handle s) {
  if (s != no_socket) ::close(static_cast<int>(s));
}

wait_result wait_readable(socket_handle s, int timeout_ms) {
  pollfd p{static_cast<int>(s), POLLIN, 0};
  int n = ::poll(&p, 1, timeout_ms);
  return n > 0 && (p.revents & POLLIN) ? wait_result::readable : wait_result::timed_out;
}

received receive(socket_handle s, std::uint8_t* buffer, std::size_t capacity) {
  sockaddr_in from{};
  socklen_t from_len = sizeof from;
  // MSG_TRUNC makes the kernel report the datagram's real length, so that a
  // datagram longer than the buffer is recognised and never taken for its
  // first bytes.
  ssize_t n = ::recvfrom(static_cast<int>(s), buffer, capacity, MSG_TRUNC | MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&from), &from_len);
  if (n < 0 || from.sin_family != AF_INET) return {-1, 0};
  return {static_cast<long>(n), from.sin_addr.s_addr};
}

int send_to(socket_handle s, const void* data, std::size_t length, std::uint32_t ip,
            std::uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = ip;
  ssize_t n =
      ::sendto(static_cast<int>(s), data, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  return n < 0 ? errno : 0;
}

// One sendmmsg call for up to send_to_each_most destinations: the kernel still sends the
// datagrams one by one in order and stops at the first that fails, but keeps
// that error to itself unless it was the first of the call.
std::size_t send_to_each(socket_handle s, const void* data, std::size_t length,
                         const std::uint32_t* ips, std::size_t count, std::uint16_t port,
                         int* error) {
  constexpr std::size_t most = send_to_each_most;
  if (count > most) count = most;
  sockaddr_in to[most];
  mmsghdr messages[most];
  iovec payload{const_cast<void*>(data), length};
  for (std::size_t i = 0; i < count; ++i) {
    to[i] = sockaddr_in{};
    to[i].sin_family = AF_INET;
    to[i].sin_port = htons(port);
    to[i].sin_addr.s_addr = ips[i];
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_name = &to[i];
    messages[i].msg_hdr.msg_namelen = sizeof to[i];
    messages[i].msg_hdr.msg_iov = &payload;
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  const int sent = ::sendmmsg(static_cast<int>(s), messages, static_cast<unsigned>(count), 0);
  *error = sent < 0 ? errno : 0;
  return sent < 0 ? 0 : static_cast<std::size_t>(sent);
}

std::optional<std::uint32_t> resolve_ipv4(const char* name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &list) != 0 || list == nullptr) return std::nullopt;
  std::uint32_t ip = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(list);
  return ip;
}

void sleep_ms(int ms) {
  timespec t{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

namespace {

bool write_all(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The directory entry of a rename reaches the disk only with its directory.
void sync_directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

volatile std::sig_atomic_t reopen_requested = 0;

extern "C" void note_reopen(int) {
  reopen_requested = 1;
}

}  // namespace

int replace_file(const std::string& path, const std::string& data) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int error = 0;
  if (!write_all(fd, data) || ::fsync(fd) != 0) error = errno != 0 ? errno : EIO;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return error;
  }
  sync_directory_of(path);
  return 0;
}

file_read read_regular_file(const char* path, std::size_t limit, std::string& text) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return {errno == ENOENT ? file_status::missing : file_status::failed, errno};
  struct stat info {};
  file_read r{file_status::read, 0};
  if (::fstat(fd, &info) != 0) {
    r = {file_status::failed, errno};
  } else if (!S_ISREG(info.st_mode)) {
    r = {file_status::not_regular, 0};
  } else {
    text.clear();
    char chunk[65536];
    ssize_t n;
    // A file that grows while it is read is cut off one chunk past the limit.
    while ((n = ::read(fd, chunk, sizeof chunk)) != 0 && text.size() <= limit) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        r = {file_status::failed, errno};
        break;
      }
      text.append(chunk, static_cast<std::size_t>(n));
    }
    if (r.status == file_status::read && text.size() > limit) r = {file_status::too_large, 0};
  }
  ::close(fd);
  return r;
}

void watch_reopen_signal() {
  struct sigaction act {};
  act.sa_handler = note_reopen;
  act.sa_flags = SA_RESTART;
  sigemptyset(&act.sa_mask);
  sigaction(SIGUSR1, &act, nullptr);
}

bool take_reopen_request() {
  if (reopen_requested == 0) return false;
  reopen_requested = 0;
  return true;
}

namespace {

// Interrupt, and the termination requests and hang-up that stand in for the
// console's break on Linux.
constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : stop_signals) sigaddset(&set, s);
  return set;
}

extern "C" void exit_at_once(int) {
  ::_exit(3);
}

}  // namespace

void start_stop_watch(void (*on_stop)(int)) {
  sigset_t set = stop_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([on_stop, set] {
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    // From here a second request of the same kind ends the process at once:
    // only this thread lets it through, and its handler only calls _exit.
    struct sigaction act {};
    act.sa_handler = exit_at_once;
    sigemptyset(&act.sa_mask);
    sigaction(sig, &act, nullptr);
    sigset_t again;
    sigemptyset(&again);
    sigaddset(&again, sig);
    pthread_sigmask(SIG_UNBLOCK, &again, nullptr);
    on_stop(sig);
  }).detach();
}

void start_up_done() {}

void exit_now(int status) {
  std::_Exit(status);
}

void abnormal_termination() {
  if (claim_last_words()) {
    ssize_t ignored = ::write(STDERR_FILENO, abnormal_end_text, sizeof abnormal_end_text - 1);
    (void)ignored;
  }
  ::_exit(3);
}

}  // namespace platform

// Serial port for D-PRS output.
namespace platform {
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
  const std::optional<speed_t> code = mirx::dprs::baud_rate_code(baud_rate);
  *baud_rate_set = code.has_value();
  if (code && (::cfsetispeed(&t, *code) != 0 || ::cfsetospeed(&t, *code) != 0)) return false;
  return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace

serial_opened open_serial(const char* name, std::int32_t baud_rate) {
  serial_opened r{no_serial, mirx::dprs::device_path(name), 0, false};
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

}  // namespace platform
