#include <cstdio>
#include <cstdlib>

#include "config/config_file.h"
#include "monitor/log_server.h"
#include "platform/console.h"
#include "server/command_line.h"
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

[[noreturn]] void fatal(output& out, const char* message) {
  out.say(shown::always, "%s", message);
  std::fflush(out.console);
  platform::abnormal_termination();
}

void refuse_port_zero(const output& out, const char* key, std::int32_t configured) {
  if (port_of(configured) != 0) return;
  std::fprintf(out.console, "%s=%d is port 0: give a port from 1 to 65535\n", key,
               static_cast<int>(configured));
  std::fflush(out.console);
  platform::abnormal_termination();
}

// As for a port of 0: a period outside 1..3600 s is refused before the
// sockets open.
void refuse_heartbeat_out_of_range(const output& out, std::int32_t seconds) {
  if (seconds >= 1 && seconds <= 3600) return;
  std::fprintf(out.console, "LogHeartbeat=%d is out of range: give 1 to 3600 seconds\n",
               static_cast<int>(seconds));
  std::fflush(out.console);
  platform::abnormal_termination();
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
  s.link.out_port = port_of(s.cfg.out_port);
  // Port 0 would bind a random port (nodes could never reach us) or make
  // every send to a node fail: as useless as a port that cannot be bound.
  refuse_port_zero(s.out, "InPort", s.cfg.in_port);
  refuse_port_zero(s.out, "OutPort", s.cfg.out_port);
  platform::set_receive_buffer(s.in_socket, receive_queue_bytes);
  // A server that cannot bind would look alive but never receive anything
  // (typically a second instance on the same port): say so and stop.
  const int error = platform::bind_any(s.in_socket, port_of(s.cfg.in_port));
  if (error != 0) {
    s.out.say(shown::always, "in sock bind error %d : %s\n", port_of(s.cfg.in_port),
              platform::error_text(error).c_str());
    std::fflush(s.out.console);
    platform::abnormal_termination();
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
  std::_Exit(status);
}

}  // namespace

int run_server(int argc, const char* const* argv) {
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
  s.cfg.log_server[0] = '\0';
  read_config_file(cl.config_path, s.cfg, s.out);
  if (s.cfg.dprs_sw) open_dprs_port(s);
  open_log_file(s);
  refuse_heartbeat_out_of_range(s.out, s.cfg.log_heartbeat);
  open_sockets(s);
  const std::int64_t bound_ms = monotonic_ms();
  if (!resolve_log_server(s.cfg, s.out, s.link.log_server)) return end_before_loop(s, 1);
  if (s.cfg.log_streams) start_streams(s, bound_ms);
  start_controls(s);
  receive_loop(s);
}

}  // namespace mirx
