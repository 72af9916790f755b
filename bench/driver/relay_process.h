#pragma once

// One relay under load, run as a child process on ports of its own: the real
// server (in a temporary directory with its own configuration and log file)
// or the reference relay. The readings come from /proc, so they cost the
// relay nothing.

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace mirx::bench {

struct relay_setup {
  std::string name;          // as printed in the summary lines
  bool reference = false;    // the reference relay rather than the server
  bool log_file = false;     // server: with its log file open
  bool info = false;         // server: with -i
  bool batch = false;        // reference: one sendmmsg per fan-out
  bool uring = false;        // reference: connected sockets, one io_uring submission per fan-out
  bool linked = false;       // reference: ... with the sends linked
  bool baseline = false;     // server: an earlier build, to compare before and after
  std::string extra_config;  // server: lines added to its configuration file
};

struct relay_binaries {
  std::string server;
  std::string reference;
  std::string baseline;  // may be empty
};

struct socket_state {
  bool bound = false;              // the relay has its receiving socket
  std::uint64_t queued_bytes = 0;  // waiting in the receive queue
  std::uint64_t drops = 0;         // dropped since the socket was made
};

class relay_process {
 public:
  // Starts the relay; it sends to its nodes at `out_port`. Throws when the
  // process cannot be started.
  relay_process(const relay_setup& setup, const relay_binaries& bin, std::uint16_t out_port);
  ~relay_process();  // stops the relay and removes its directory
  relay_process(const relay_process&) = delete;
  relay_process& operator=(const relay_process&) = delete;

  const relay_setup& setup() const { return setup_; }
  std::uint16_t in_port() const { return in_port_; }
  const std::string& dir() const { return dir_; }  // its working directory
  pid_t pid() const { return pid_; }
  bool alive() const;
  // CPU time of every thread of the process so far, in ns.
  std::int64_t cpu_ns() const;
  // Resident size in KiB.
  long rss_kib() const;
  // The receiving socket's queue and drop counter.
  socket_state in_socket() const;
  // Stops the relay and returns the number of "Send DV Packet to" lines its
  // log file holds (-1 without a log file).
  long stop_and_count_log_lines();

 private:
  void stop();
  relay_setup setup_;
  std::string dir_;
  std::uint16_t in_port_ = 0;
  pid_t pid_ = -1;
};

// A UDP port free on every address, found by letting the kernel pick one.
std::uint16_t free_udp_port();

}  // namespace mirx::bench
