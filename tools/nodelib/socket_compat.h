#pragma once

// The few socket, console and signal calls of the tools, for Linux and for
// Windows (Winsock 2). Everything that differs between the two systems is
// here, so the tools' own code reads the same on both. Only source files
// include this header: on Windows it brings in the system's headers.

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// Winsock 2 first: windows.h must not bring in the old Winsock header.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on
#include <type_traits>

#include "platform/platform.h"
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "nodelib/udp_endpoint.h"

namespace mirx::nodes::os {

#ifdef _WIN32
static_assert(std::is_same_v<SOCKET, socket_handle>);
using addr_len = int;

// Winsock needs starting once per process before any other call.
inline bool start_sockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

inline socket_handle open_udp() {
  if (!start_sockets()) return no_socket;
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return s;
  // Winsock reports an ICMP "port unreachable" for an earlier send as a
  // failed receive (WSAECONNRESET) and marks the socket readable for it;
  // Linux keeps such errors off unconnected sockets. Turned off, so a node
  // that spoke to a server not yet running still hears it once it runs.
  constexpr DWORD udp_connreset = _WSAIOW(IOC_VENDOR, 12);
  BOOL report = FALSE;
  DWORD unused = 0;
  ::WSAIoctl(s, udp_connreset, &report, sizeof report, nullptr, 0, &unused, nullptr, nullptr);
  return s;
}

inline void close_socket(socket_handle s) {
  ::closesocket(s);
}

inline void set_int_option(socket_handle s, int level, int name, int value) {
  ::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

// The system's text for the last failed socket call.
inline std::string last_error_text() {
  return platform::error_text(WSAGetLastError());
}

// 1: a datagram is waiting; 0: time-out; -1: the wait failed. A negative
// `timeout_ms` waits without limit.
inline int wait_readable(socket_handle s, int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  const int n = ::select(0, &readable, nullptr, nullptr, timeout_ms < 0 ? nullptr : &limit);
  return n == SOCKET_ERROR ? -1 : (n > 0 ? 1 : 0);
}

// One datagram into `buffer` (called after wait_readable, so it does not
// block), or -1. Winsock cuts a datagram that does not fit and reports
// WSAEMSGSIZE; its real length is lost, so the bytes kept are reported, as
// Linux does without MSG_TRUNC. With `real_length` Linux reports the real
// length instead; callers that want it pass a buffer no datagram overfills.
inline long receive_from(socket_handle s, void* buffer, std::size_t capacity, sockaddr_in& from,
                         bool /*real_length*/) {
  int len = sizeof from;
  const int n = ::recvfrom(s, static_cast<char*>(buffer), static_cast<int>(capacity), 0,
                           reinterpret_cast<sockaddr*>(&from), &len);
  if (n == SOCKET_ERROR) return WSAGetLastError() == WSAEMSGSIZE ? static_cast<long>(capacity) : -1;
  return n;
}

inline long send_to(socket_handle s, const void* data, std::size_t length, const sockaddr_in& to) {
  return ::sendto(s, static_cast<const char*>(data), static_cast<int>(length), 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// Lines must reach a pipe or file as they are printed. The Windows runtime
// has no line buffering (it takes _IOLBF for full buffering), so there the
// stream is unbuffered.
inline void print_lines_at_once(std::FILE* stream) {
  std::setvbuf(stream, nullptr, _IONBF, 0);
}

// The runtime calls `handler` on a thread of its own for Ctrl-C (SIGINT) and
// Ctrl-Break (SIGBREAK); a wait in progress is not cut short, so callers wait
// in short steps.
inline void catch_stop_signals(void (*handler)(int)) {
  std::signal(SIGINT, handler);
  std::signal(SIGBREAK, handler);
  std::signal(SIGTERM, handler);
}

#else

using addr_len = socklen_t;

inline bool start_sockets() {
  return true;
}

inline socket_handle open_udp() {
  return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

inline void close_socket(socket_handle s) {
  ::close(s);
}

inline void set_int_option(socket_handle s, int level, int name, int value) {
  ::setsockopt(s, level, name, &value, sizeof value);
}

inline std::string last_error_text() {
  return std::strerror(errno);
}

// 1: a datagram is waiting; 0: time-out or a signal cut the wait short;
// -1: the wait failed. A negative `timeout_ms` waits without limit.
inline int wait_readable(socket_handle s, int timeout_ms) {
  pollfd p{s, POLLIN, 0};
  const int n = ::poll(&p, 1, timeout_ms);
  if (n < 0) return errno == EINTR ? 0 : -1;
  return n > 0 ? 1 : 0;
}

// One datagram into `buffer` without blocking, or -1. With `real_length` the
// datagram's real length is returned even when it did not fit.
inline long receive_from(socket_handle s, void* buffer, std::size_t capacity, sockaddr_in& from,
                         bool real_length) {
  socklen_t len = sizeof from;
  return ::recvfrom(s, buffer, capacity, MSG_DONTWAIT | (real_length ? MSG_TRUNC : 0),
                    reinterpret_cast<sockaddr*>(&from), &len);
}

inline long send_to(socket_handle s, const void* data, std::size_t length, const sockaddr_in& to) {
  return ::sendto(s, data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

inline void print_lines_at_once(std::FILE* stream) {
  std::setvbuf(stream, nullptr, _IOLBF, 0);
}

// Without SA_RESTART a signal also cuts the current wait short, so a loop
// notices it at once.
inline void catch_stop_signals(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

#endif

}  // namespace mirx::nodes::os
