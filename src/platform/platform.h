#pragma once

// The few operating-system services the server needs, behind one small
// interface so that nothing above it sees a socket API, a signal or a serial
// device. Every call reports failure to its caller with the system's own
// error code; none of them prints anything.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace mirx::platform {

// The line after the banner: which edition of the server this is.
const char* edition();
// Makes every console line reach standard output as it is written, even on a
// pipe or a file: the abnormal end of a run flushes nothing.
void console_by_line();
// The local time of `now`.
std::tm local_time(std::time_t now);
// The UTC time of `now`.
std::tm utc_time(std::time_t now);

using socket_handle = std::intptr_t;
inline constexpr socket_handle no_socket = -1;

// The system's error code for "no buffer space": the only send failure that
// is worth repeating after a short wait.
int no_buffer_space_code();
// The system's text for an error code.
std::string error_text(int code);

// Starts the socket layer (once however often it is called); false when it
// cannot be used at all.
bool start_sockets();
socket_handle open_udp_socket();  // no_socket on failure
// The system's code for the last socket call of this thread that failed, for
// the calls that say only that they failed.
int last_socket_error();
// Binds to every local address at `port`; on failure returns the error code.
int bind_any(socket_handle s, std::uint16_t port);
// Binds to `ip` (network byte order) at `port` (0: a free port of the
// system's choice), asking neither to share the port nor to keep it to
// itself; 0 or the error code.
int bind_to(socket_handle s, std::uint32_t ip, std::uint16_t port);
// Keeps a "port unreachable" answer to an earlier send from being reported
// as a failed receive (Winsock does so, and marks the socket readable for
// it; Linux keeps such errors off unconnected sockets), so that a socket that
// spoke to a peer not yet running still hears that peer once it runs.
void ignore_unreachable_reports(socket_handle s);
// The port `s` is bound to; 0 when it is not bound or cannot be asked.
std::uint16_t local_port(socket_handle s);
// Whether `ip` (network byte order) is an address of this machine, so that a
// datagram from it may have come from one of our own sockets.
bool is_local_address(std::uint32_t ip);
// Asks for a receive queue of about `bytes`; best effort. Unless
// `past_system_cap` is false, a privileged process is given it even beyond
// the system's cap for unprivileged ones.
void set_receive_buffer(socket_handle s, int bytes, bool past_system_cap = true);
void close_socket(socket_handle s);

// How far the peer of a connected TCP socket has taken what was sent: the
// bytes it acknowledged, and the receive window it advertises now (what it
// can take before its reader reads). A window that stays below the largest
// it advertised holds bytes its reader has not read. False where the system
// does not tell.
struct tcp_progress {
  std::uint64_t acked = 0;
  std::uint64_t window = 0;
  std::uint64_t segment = 0;  // the peer's largest segment: about how coarsely it tells the window
};
bool tcp_progress_of(socket_handle s, tcp_progress& out);

enum class wait_result { readable, timed_out, failed };
// Waits up to `timeout_ms` for a datagram on `s` (a negative `timeout_ms`:
// without limit). A wait cut short by a signal counts as a time-out, so the
// caller looks at its stop flag; `failed` leaves the reason in
// last_socket_error().
wait_result wait_readable(socket_handle s, int timeout_ms);

// One received datagram: its real length (which may exceed the buffer: the
// caller must then drop it), the sender's IPv4 address in network byte order
// exactly as delivered and its port. `length` is negative when the receive
// failed.
struct received {
  long length;
  std::uint32_t sender_ip;
  std::uint16_t sender_port = 0;
};
received receive(socket_handle s, std::uint8_t* buffer, std::size_t capacity);

// Sends one datagram to `ip` (network byte order) at `port`; returns 0 or the
// error code.
int send_to(socket_handle s, const void* data, std::size_t length, std::uint32_t ip,
            std::uint16_t port);

// The most destinations one send_to_each call is given.
inline constexpr std::size_t send_to_each_most = 64;
// Sends one datagram to `ips[0]`, `ips[1]`, ... at `port`, in this order,
// in as few system calls as the system allows. Stops at the first failure and
// returns how many were sent before it; `*error` then holds that send's code,
// or 0 when the system did not tell it (the caller sends to that destination
// again on its own to learn it).
std::size_t send_to_each(socket_handle s, const void* data, std::size_t length,
                         const std::uint32_t* ips, std::size_t count, std::uint16_t port,
                         int* error);

// As send_to_each, each destination with its own port: `ports[i]` for
// `ips[i]`.
std::size_t send_to_endpoints(socket_handle s, const void* data, std::size_t length,
                              const std::uint32_t* ips, const std::uint16_t* ports,
                              std::size_t count, int* error);

// Binds `s` to a port of the system's choice on every address (or keeps the
// port it is bound to), shared with the sockets open_connected_udp opens
// from it and with no socket of another user (a process of the same user
// can still join it). The port, or 0 when it cannot be had (the socket then
// keeps its own port when it first sends).
std::uint16_t bind_shared_port(socket_handle s);

// A UDP socket connected to `ip` (network byte order) at `port`, for sending
// only, from `from_port` (a port bind_shared_port gave; 0: a port of its
// own): its receive queue is kept at the least the system allows, so that
// datagrams nobody reads cannot pile up in it. no_socket on failure, with
// the error code in `*error`.
socket_handle open_connected_udp(std::uint32_t ip, std::uint16_t port, std::uint16_t from_port,
                                 int* error);

// Raises the soft limit on open descriptors to the hard one; the soft
// limit in force afterwards.
std::size_t raise_open_file_limit();

// The first IPv4 address of a host name or dotted address, in network byte
// order; nothing when the name has no IPv4 address, with the system's reason
// in `*why` when asked for.
std::optional<std::uint32_t> resolve_ipv4(const char* name, std::string* why = nullptr);

void sleep_ms(int ms);

// Milliseconds of a clock that never jumps: every period and time-out of the
// server is measured on it.
inline std::int64_t monotonic_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Puts `data` at `path` so that a crash at any moment leaves either the old
// file or all of the new one: written to a temporary file beside it, flushed
// to the disk, then renamed over it. Returns 0 or the system's error code.
// The temporary file is always created afresh (never through a link left at
// its name); `owner_only` makes it, and so `path`, readable by its owner only
// where the system has such modes.
int replace_file(const std::string& path, const std::string& data, bool owner_only = false);

// Reads the whole of `path` when it is a regular file of at most `limit`
// bytes. It is opened without blocking, so that a FIFO or a device can never
// hold up the caller, and read no further than the limit, so that an endless
// file cannot exhaust memory. `error` is the system's code for `missing` and
// `failed`.
enum class file_status { read, missing, not_regular, too_large, failed };
struct file_read {
  file_status status;
  int error;
};
file_read read_regular_file(const char* path, std::size_t limit, std::string& text);

// The request to reopen the log file (SIGUSR1 on Linux, so that log rotation
// can rename the file and signal; on Windows the service's reopen control).
// The request only sets a flag; whoever polls take_reopen_request does the
// work. The signal is watched from the first moment of the process, as its
// default action ends it.
void watch_reopen_signal();
// True once for each request that arrived since the last call.
bool take_reopen_request();

// Serial port for D-PRS output, opened by its configured name for exclusive
// reading and writing, raw, 8 data bits, no parity, one stop bit.
using serial_handle = std::intptr_t;
inline constexpr serial_handle no_serial = -1;
struct serial_opened {
  serial_handle handle;  // no_serial when the port could not be opened
  std::string device;    // the device the name stands for
  int error;             // why it could not be opened
  bool baud_rate_set;    // false: the rate is not supported, the port keeps its own
};
serial_opened open_serial(const char* name, std::int32_t baud_rate);
// One write that never waits for the device: `taken` is how many of the
// bytes the port took at once (possibly none). `gone` says the device has
// gone away (unplugged, the other side of a pseudo-terminal closed): the
// handle is of no more use and must be closed. `error` is the system's code
// for a write that took nothing.
struct serial_written {
  std::size_t taken;
  bool gone;
  int error;
};
serial_written write_serial(serial_handle h, const std::uint8_t* data, std::size_t length);
// Closes the port, dropping what it still holds unsent, so that a device that
// no longer takes data cannot hold up the close.
void close_serial(serial_handle h);

// Stop requests (the console's interrupt and its break equivalents). Blocks
// them in the calling thread and every thread it starts afterwards, then runs
// `on_stop(signal number)` on a thread of its own when one arrives. A second
// request of the same kind while `on_stop` runs ends the process at once with
// status 3. Must be called before any other thread is started.
void start_stop_watch(void (*on_stop)(int));

// Start-up is done: the receive loop begins. A Windows service then reports
// itself running; nothing else happens.
void start_up_done();
// Ends the process at once with `status`, running no exit handlers and
// flushing nothing (a Windows service first tells how the run ended).
[[noreturn]] void exit_now(int status);

// Writes the abnormal-termination text on the error stream and ends the
// process at once with status 3, flushing nothing.
[[noreturn]] void abnormal_termination();

// Stop requests taken by waiting for them, for a program whose main thread
// has nothing else to do (the dashboard). Blocks them in the calling thread
// and every thread it starts afterwards (on Linux it also ignores SIGPIPE: a
// peer that went away is seen as a failed write). Must be called before any
// other thread is started.
void hold_stop_requests();
// Waits up to `timeout_ms` for a stop request (the console's interrupt or
// break, a termination request, a service stop); true when one came.
bool wait_stop_request(int timeout_ms);

// Runs `body(argc, argv)` as the service `name` when the service manager
// started this process (Windows only), with the data directory under
// ProgramData as its working directory and its standard output and error in
// `console_file` there; its exit status once the service has ended. Nothing
// when the process is not a service: the caller then runs `body` itself.
// The service reports itself running at start_up_done(), and a stop control
// is a stop request for wait_stop_request.
std::optional<int> serve_as_service(const char* name, const char* console_file,
                                    int (*body)(int, char**), int argc, char** argv);

// A process of few threads that builds texts of megabytes: few malloc
// arenas keep its resident size near what is in use. Nothing where the
// allocator has no such arenas.
void use_few_memory_arenas();
// Hands memory freed after a large build back to the system, where the
// allocator keeps it otherwise.
void return_free_memory();

}  // namespace mirx::platform
