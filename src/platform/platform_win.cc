// Windows implementation of the platform layer: Winsock 2 over IPv4, select,
// Sleep, console control events and the Win32 serial-port calls.

// clang-format off
#include "platform/windows_win.h"
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

// The runtime's exception header makes abnormal_termination a macro for its
// own structured-exception intrinsic; here it is the name of ours.
#undef abnormal_termination

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform/console.h"
#include "platform/platform.h"
#include "platform/service_hooks_win.h"

namespace mirx::platform {

const char* edition() {
  return "Windows edition (Winsock 2, Win32 serial)";
}

// The Windows runtime has no line buffering (it takes _IOLBF for full
// buffering, and refuses it without a buffer size): the console is
// unbuffered instead.
void console_by_line() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}

std::tm local_time(std::time_t now) {
  std::tm t{};
  localtime_s(&t, &now);  // the Windows runtime's thread-safe form
  return t;
}

// The runtime's gmtime refuses times before 1970 (a forged or damaged time
// can be that old): the calendar is worked out here instead.
std::tm utc_time(std::time_t now) {
  using namespace std::chrono;
  const sys_seconds at{seconds{now}};
  const sys_days day = floor<days>(at);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{at - day};
  std::tm t{};
  t.tm_year = static_cast<int>(date.year()) - 1900;
  t.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
  t.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
  t.tm_hour = static_cast<int>(time.hours().count());
  t.tm_min = static_cast<int>(time.minutes().count());
  t.tm_sec = static_cast<int>(time.seconds().count());
  t.tm_wday = static_cast<int>(weekday{day}.c_encoding());
  t.tm_yday = static_cast<int>((day - sys_days{date.year() / January / 1}).count());
  return t;
}

namespace {

SOCKET as_socket(socket_handle s) {
  return static_cast<SOCKET>(s);
}

HANDLE as_handle(serial_handle h) {
  return reinterpret_cast<HANDLE>(h);
}

}  // namespace

int no_buffer_space_code() {
  return WSAENOBUFS;  // 10055
}

std::string error_text(int code) {
  char text[256];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  std::string out(text, n);
  // The system's texts end in a line break; the callers put the text inside
  // a line of their own.
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
    out.pop_back();
  if (out.empty()) out = "error " + std::to_string(code);
  return out;
}

bool start_sockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

int last_socket_error() {
  return WSAGetLastError();
}

socket_handle open_udp_socket() {
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  return s == INVALID_SOCKET ? no_socket : static_cast<socket_handle>(s);
}

int bind_any(socket_handle s, std::uint16_t port) {
  // Without exclusive use another program could bind the same port with
  // SO_REUSEADDR and take datagrams meant for the server. Best effort: the
  // bind below still reports a port that is already taken.
  const BOOL exclusive = TRUE;
  ::setsockopt(as_socket(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  return bind_to(s, htonl(INADDR_ANY), port);
}

int bind_to(socket_handle s, std::uint32_t ip, std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = ip;
  if (::bind(as_socket(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return 0;
  return WSAGetLastError();
}

void ignore_unreachable_reports(socket_handle s) {
  constexpr DWORD udp_connreset = _WSAIOW(IOC_VENDOR, 12);
  BOOL report = FALSE;
  DWORD unused = 0;
  ::WSAIoctl(as_socket(s), udp_connreset, &report, sizeof report, nullptr, 0, &unused, nullptr,
             nullptr);
}

std::uint16_t local_port(socket_handle s) {
  sockaddr_in addr{};
  int length = sizeof addr;
  if (::getsockname(as_socket(s), reinterpret_cast<sockaddr*>(&addr), &length) != 0) return 0;
  return ntohs(addr.sin_port);
}

// The loopback network is always ours; any other address is ours when a
// socket can be bound to it.
bool is_local_address(std::uint32_t ip) {
  if ((ntohl(ip) >> 24) == 127) return true;
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = ip;
  const bool bound = ::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::closesocket(s);
  return bound;
}

// Winsock has no cap on the size asked for.
void set_receive_buffer(socket_handle s, int bytes, bool) {
  ::setsockopt(as_socket(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
               sizeof bytes);
}

void close_socket(socket_handle s) {
  if (s != no_socket) ::closesocket(as_socket(s));
}

wait_result wait_readable(socket_handle s, int timeout_ms) {
  // select() rewrites both the set and the time limit: set them up anew for
  // every wait.
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(as_socket(s), &readable);
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  const int n = ::select(0, &readable, nullptr, nullptr, timeout_ms < 0 ? nullptr : &limit);
  if (n == SOCKET_ERROR) return wait_result::failed;
  return n > 0 && FD_ISSET(as_socket(s), &readable) ? wait_result::readable
                                                    : wait_result::timed_out;
}

received receive(socket_handle s, std::uint8_t* buffer, std::size_t capacity) {
  sockaddr_in from{};
  int from_len = sizeof from;
  const int n =
      ::recvfrom(as_socket(s), reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0,
                 reinterpret_cast<sockaddr*>(&from), &from_len);
  if (n == SOCKET_ERROR) {
    // Winsock cuts a datagram that does not fit to the buffer, discards the
    // rest and says so with WSAEMSGSIZE; its real length is lost. Report a
    // length beyond the buffer so that the caller drops it, as it must never
    // be taken for its first bytes.
    if (WSAGetLastError() == WSAEMSGSIZE) return {static_cast<long>(capacity) + 1, 0};
    return {-1, 0};
  }
  if (from.sin_family != AF_INET) return {-1, 0};
  return {static_cast<long>(n), from.sin_addr.s_addr, ntohs(from.sin_port)};
}

int send_to(socket_handle s, const void* data, std::size_t length, std::uint32_t ip,
            std::uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = ip;
  const int n = ::sendto(as_socket(s), static_cast<const char*>(data), static_cast<int>(length), 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return n == SOCKET_ERROR ? WSAGetLastError() : 0;
}

std::size_t send_to_each(socket_handle s, const void* data, std::size_t length,
                         const std::uint32_t* ips, std::size_t count, std::uint16_t port,
                         int* error) {
  for (std::size_t i = 0; i < count; ++i) {
    *error = send_to(s, data, length, ips[i], port);
    if (*error != 0) return i;
  }
  *error = 0;
  return count;
}

std::size_t send_to_endpoints(socket_handle s, const void* data, std::size_t length,
                              const std::uint32_t* ips, const std::uint16_t* ports,
                              std::size_t count, int* error) {
  for (std::size_t i = 0; i < count; ++i) {
    *error = send_to(s, data, length, ips[i], ports[i]);
    if (*error != 0) return i;
  }
  *error = 0;
  return count;
}

// FastRelay is not built for Windows: nothing shares the out socket's port.
std::uint16_t bind_shared_port(socket_handle) {
  return 0;
}

// Windows has no per-process limit on sockets to raise.
std::size_t raise_open_file_limit() {
  return SIZE_MAX;
}

std::optional<std::uint32_t> resolve_ipv4(const char* name, std::string* why) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(name, nullptr, &hints, &list);
  if (rc != 0 || list == nullptr) {
    if (why) *why = ::gai_strerror(rc);
    return std::nullopt;
  }
  const std::uint32_t ip = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(list);
  return ip;
}

void sleep_ms(int ms) {
  ::Sleep(static_cast<DWORD>(ms));
}

int replace_file(const std::string& path, const std::string& data, bool) {
  const std::string temporary = path + ".tmp";
  // Whatever is at the temporary name is removed, never reused: the file
  // moved over `path` is always one this call created.
  if (!::DeleteFileA(temporary.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND)
    return static_cast<int>(::GetLastError());
  HANDLE h = ::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return static_cast<int>(::GetLastError());
  DWORD written = 0;
  int error = 0;
  if (!::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) ||
      written != data.size() || !::FlushFileBuffers(h))
    error = static_cast<int>(::GetLastError());
  ::CloseHandle(h);
  if (error == 0 && !::MoveFileExA(temporary.c_str(), path.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    error = static_cast<int>(::GetLastError());
  if (error != 0) ::DeleteFileA(temporary.c_str());
  return error;
}

file_read read_regular_file(const char* path, std::size_t limit, std::string& text) {
  HANDLE h = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = ::GetLastError();
    const bool gone = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
    return {gone ? file_status::missing : file_status::failed, static_cast<int>(e)};
  }
  file_read r{file_status::read, 0};
  LARGE_INTEGER size{};
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    r = {file_status::not_regular, 0};
  } else if (!::GetFileSizeEx(h, &size)) {
    r = {file_status::failed, static_cast<int>(::GetLastError())};
  } else if (static_cast<unsigned long long>(size.QuadPart) > limit) {
    r = {file_status::too_large, 0};
  } else {
    text.assign(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!::ReadFile(h, text.data(), static_cast<DWORD>(text.size()), &got, nullptr))
      r = {file_status::failed, static_cast<int>(::GetLastError())};
    text.resize(got);
  }
  ::CloseHandle(h);
  return r;
}

// Windows has no signal for it: a service passes on its reopen control.
void watch_reopen_signal() {}

namespace {

std::atomic<bool> reopen_requested{false};
std::atomic<void (*)()> start_up_hook{nullptr};
std::atomic<void (*)(int)> end_hook{nullptr};

}  // namespace

void request_reopen() {
  reopen_requested.store(true);
}

bool take_reopen_request() {
  return reopen_requested.exchange(false);
}

void on_start_up_done(void (*hook)()) {
  start_up_hook.store(hook);
}

void on_process_end(void (*hook)(int status)) {
  end_hook.store(hook);
}

void start_up_done() {
  if (auto hook = start_up_hook.exchange(nullptr)) hook();
}

void process_ending(int status) {
  if (auto hook = end_hook.exchange(nullptr)) hook(status);
}

void exit_now(int status) {
  process_ending(status);
  std::_Exit(status);
}

}  // namespace mirx::platform

// Console control: Windows runs the handler on a fresh thread of its own for
// every event, so the stop work can run right there.
namespace mirx::platform {

namespace {

constexpr int interrupt_signal = SIGINT;  // Ctrl-C
constexpr int break_signal = SIGBREAK;    // Ctrl-Break, and closing, log-off, shut-down

std::atomic<void (*)(int)> stop_function{nullptr};
std::atomic<int> stop_under_way{0};  // the signal number of the stop that runs, or 0

BOOL WINAPI on_console_event(DWORD event) {
  // A service receives it whenever a user logs off: the service runs on.
  if (event == CTRL_LOGOFF_EVENT && end_hook.load() != nullptr) return TRUE;
  const int sig = event == CTRL_C_EVENT ? interrupt_signal : break_signal;
  int running = 0;
  if (stop_under_way.compare_exchange_strong(running, sig)) {
    stop_function.load()(sig);  // ends the process
    return TRUE;
  }
  // A second event of the same kind ends the process at once, whatever the
  // stop was doing.
  if (running == sig) ::TerminateProcess(::GetCurrentProcess(), 3);
  // An event of the other kind leaves the stop under way to finish: returning
  // would let the system end the process before the log file is closed.
  ::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void start_stop_watch(void (*on_stop)(int)) {
  stop_function.store(on_stop);
  ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

void abnormal_termination() {
  // Straight to the handle: the C runtime's text mode would turn each "\n"
  // into another "\r\n".
  DWORD written = 0;
  if (claim_last_words())
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), abnormal_end_text, sizeof abnormal_end_text - 1,
                &written, nullptr);
  process_ending(3);
  // Ends every thread at once: no exit handlers, no stream flushed or closed.
  ::TerminateProcess(::GetCurrentProcess(), 3);
  ::ExitProcess(3);  // not reached
}

}  // namespace mirx::platform

// Serial port for D-PRS output.
namespace mirx::platform {

serial_opened open_serial(const char* name, std::int32_t baud_rate) {
  std::string device = std::string("\\\\.\\") + name;
  const HANDLE h = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return {no_serial, std::move(device), static_cast<int>(::GetLastError()), false};
  }
  ::SetupComm(h, 128, 128);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ::GetCommState(h, &dcb);  // every field not set below keeps the device's value
  const DWORD own_rate = dcb.BaudRate;
  dcb.BaudRate = static_cast<DWORD>(baud_rate);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fAbortOnError = TRUE;
  const bool rate_set = ::SetCommState(h, &dcb) != FALSE;
  // A refused record changes nothing at all: keep the port's own rate but
  // still give it the data format.
  if (!rate_set) {
    dcb.BaudRate = own_rate;
    ::SetCommState(h, &dcb);
  }
  // A write must never wait long for a device that has stopped taking data:
  // allow twice the time one block of five bytes needs on the line, plus
  // 10 ms, whatever the length, then take what was written. The read
  // time-outs are left as they are.
  COMMTIMEOUTS limits{};
  ::GetCommTimeouts(h, &limits);
  const DWORD rate = rate_set && baud_rate > 0 ? static_cast<DWORD>(baud_rate) : own_rate;
  limits.WriteTotalTimeoutMultiplier = 0;
  limits.WriteTotalTimeoutConstant = 10 + (rate > 0 ? 100000 / rate : 100);
  ::SetCommTimeouts(h, &limits);
  return {reinterpret_cast<serial_handle>(h), std::move(device), 0, rate_set};
}

serial_written write_serial(serial_handle h, const std::uint8_t* data, std::size_t length) {
  DWORD written = 0;
  if (::WriteFile(as_handle(h), data, static_cast<DWORD>(length), &written, nullptr))
    return {written, false, 0};
  // A failed write (the device removed, a line error that abort-on-error
  // keeps): the port is closed and opened again, which also clears the error.
  return {0, true, static_cast<int>(::GetLastError())};
}

void close_serial(serial_handle h) {
  if (h == no_serial) return;
  ::PurgeComm(as_handle(h), PURGE_TXABORT | PURGE_TXCLEAR);
  ::CloseHandle(as_handle(h));
}

// Winsock tells neither: a stream is judged by its writes alone.
bool tcp_progress_of(socket_handle, tcp_progress&) {
  return false;
}

}  // namespace mirx::platform
