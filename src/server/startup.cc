#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "config/config_file.h"
#include "monitor/log_server.h"
#include "platform/console.h"
#include "server/command_line.h"
#include "server/dextra.h"
#include "server/log_file.h"
#include "server/server.h"
#include "server/stop.h"
#include "server/streams.h"

namespace mirx {

server& the_server() {
  static server s;
  return s;
}

namespace {

// Receive queue of in_socket. While one datagram is fanned out to every node
// nothing is read, so the kernel must hold what arrives meanwhile: with 500
// nodes and five streams about 0.4 s of voice packets, at about 1 KiB of
// kernel memory each, fit in 4 MiB many times over.
constexpr int receive_queue_bytes = 4 << 20;

void print_banner(output& out) {
  out.say(shown::always, " D-STAR mirx  Server Program V00.01 09/24/2011\n");
  out.say(shown::always, "              %s\n", platform::edition());
  out.say(shown::always, "              Start Time %.24s\n", time_stamp().text);
  out.say(shown::debug, "                                       debug mode\n");
}

void open_dprs_port(server& s) {
  std::lock_guard<std::mutex> hold(io_lock());
  const platform::serial_opened port =
      platform::open_serial(s.cfg.dprs_com_port, s.cfg.dprs_baud_rate);
  if (port.handle == platform::no_serial) {
    s.out.say(shown::always, "D-PRS port %s open error : %s (running without D-PRS output)\n",
              port.device.c_str(), platform::error_text(port.error).c_str());
    return;
  }
  if (!port.baud_rate_set)
    s.out.say(shown::always, "D-PRS port %s: baud rate %d not supported, rate left unchanged\n",
              port.device.c_str(), static_cast<int>(s.cfg.dprs_baud_rate));
  s.serial_out.attach(port.handle, s.cfg.dprs_com_port, s.cfg.dprs_baud_rate, port.device, s.out);
  s.dprs.port = &s.serial_out;
}

void open_log_file(server& s) {
  std::lock_guard<std::mutex> hold(io_lock());
  open_log(s, "log start", "open");
}

// Says why the run cannot go on, makes sure it is on the console, and ends
// the run abnormally.
[[noreturn]] void fatal(output& out, const char* fmt, ...) MIRX_PRINTF(2, 3);
void fatal(output& out, const char* fmt, ...) {
  char text[512];
  std::va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  if (n > 0)
    out.say_text(shown::always, text, std::min(sizeof text - 1, static_cast<std::size_t>(n)));
  std::fflush(out.console);
  platform::abnormal_termination();
}

// Reads the file and applies the settings that take effect as they are. A
// setting that cannot be used ends the run before anything is opened: one
// that failed open (a limit asked for and not given) would be worse.
void apply_settings(server& s, const char* config_path) {
  const std::string refused = read_config_file(config_path, s.cfg, s.out);
  if (!refused.empty()) fatal(s.out, "%s", refused.c_str());
  s.link.out_port = port_of(s.cfg.out_port);
  s.out.log_voice = s.cfg.log_voice;
}

void open_sockets(server& s) {
  std::lock_guard<std::mutex> hold(io_lock());
  if (!platform::start_sockets()) fatal(s.out, "winsock initialize failed\n");
  s.in_socket = platform::open_udp_socket();
  if (s.in_socket == platform::no_socket) fatal(s.out, "did not create in sock\n");
  s.link.out_socket = platform::open_udp_socket();
  if (s.link.out_socket == platform::no_socket) fatal(s.out, "did not create out sock\n");
  s.link.log_socket = platform::open_udp_socket();
  if (s.link.log_socket == platform::no_socket) fatal(s.out, "did not create log sock\n");
  platform::set_receive_buffer(s.in_socket, receive_queue_bytes);
  // A server that cannot bind would look alive but never receive anything
  // (typically a second instance on the same port): say so and stop.
  const int error = platform::bind_any(s.in_socket, port_of(s.cfg.in_port));
  if (error != 0)
    fatal(s.out, "in sock bind error %d : %s\n", port_of(s.cfg.in_port),
          platform::error_text(error).c_str());
  if (port_of(s.cfg.in_port) == port_of(s.cfg.out_port))
    s.out.say(shown::always,
              "InPort and OutPort are both %d: no node on this machine can listen there; what "
              "is sent to this machine's own addresses comes back and is dropped\n",
              port_of(s.cfg.in_port));
}

void bind_sending_sockets(server& s) {
  std::lock_guard<std::mutex> hold(io_lock());
  s.link.bind_sources();
}

// FastRelay=ON: descriptors kept for everything else the server opens (its
// sockets, the log file, the serial port, the state and access files), and
// the most nodes given a connected socket of their own; nodes beyond either
// share the out socket.
constexpr std::size_t kept_descriptors = 64;
constexpr std::size_t most_connected = 16384;

// FastRelay=ON, before the table is restored so that restored nodes get
// their sockets. Where io_uring cannot be had it says so in one line and the
// server relays as with FastRelay=OFF: the start never fails for it.
void start_fast_relay(server& s) {
  if (!s.cfg.fast_relay) return;
  std::lock_guard<std::mutex> hold(io_lock());
  if (!platform::connected_sends::built_in()) {
    s.out.say(shown::always,
              "FastRelay=ON: this build has no io_uring, relaying as with FastRelay=OFF\n");
    return;
  }
  const std::size_t limit = platform::raise_open_file_limit();
  const std::size_t room = limit > kept_descriptors ? limit - kept_descriptors : 1;
  const int error =
      s.link.fast.open(static_cast<unsigned>(std::min(room, most_connected)), s.link.out_port);
  if (error != 0) {
    s.out.say(shown::always,
              "FastRelay=ON: io_uring refused (%s), relaying as with FastRelay=OFF\n",
              platform::error_text(error).c_str());
    return;
  }
  s.link.fast.send_from(platform::bind_shared_port(s.link.out_socket));
  s.conf.table.watch_addresses(&s.link.fast);
}

// OneTalker, MaxOverSeconds and EchoCall, each only when set: with none of
// them the relay consults no rule at all.
void start_rules(server& s) {
  stream_log* log = s.cfg.log_streams ? &s.streams : nullptr;
  if (s.cfg.one_talker || s.cfg.max_over_seconds != 0) {
    if (!s.live.on()) s.live.start();
    s.floor.start(s.cfg.one_talker, static_cast<std::uint32_t>(s.cfg.max_over_seconds) * 1000, log,
                  &s.live);
    s.rules.floor = &s.floor;
  }
  if (s.cfg.echo_call[0] != '\0') {
    if (!s.live.on()) s.live.start();
    s.echo_call.start(s.cfg.echo_call, log != nullptr, &s.live);
    s.rules.echo = &s.echo_call;
  }
}

// Ends the run before the receive loop: output written, the log file closed
// without a "log end" line.
int end_before_loop(server& s, int status) {
  std::lock_guard<std::mutex> hold(io_lock());
  if (s.out.log != nullptr) std::fclose(s.out.log);
  s.out.log = nullptr;
  std::fflush(nullptr);
  // No exit handlers: the stop-watch thread may still be waiting for a signal
  // and must not meet destroyed statics.
  platform::exit_now(status);
}

}  // namespace

int run_server(int argc, const char* const* argv) {
  // First of all: logrotate may ask for a reopen of a server still starting,
  // and the signal's default action would end it.
  platform::watch_reopen_signal();
  platform::guard_standard_streams();
  platform::mark_stoppable_thread();
  platform::console_by_line();
  platform::start_stop_watch(stop_handler);
  server& s = the_server();
  const command_line cl = read_command_line(argc, argv);
  if (cl.usage) {
    print_usage(stdout);
    return 0;
  }
  s.out.debug = cl.debug;
  s.out.info = cl.info;
  print_banner(s.out);
  apply_settings(s, cl.config_path);
  if (s.cfg.dprs_sw) open_dprs_port(s);
  open_log_file(s);
  open_sockets(s);
  const std::int64_t bound_ms = platform::monotonic_ms();
  if (!resolve_log_server(s.cfg, s.out, s.link.log_server)) return end_before_loop(s, 1);
  bind_sending_sockets(s);
  if (s.cfg.log_streams) start_streams(s, bound_ms);
  start_rules(s);
  start_fast_relay(s);
  start_controls(s);
  start_dextra(s);
  platform::start_up_done();
  receive_loop(s);
}

}  // namespace mirx
