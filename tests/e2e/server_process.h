#pragma once

// Runs the real mirx_server in a temporary directory of its own, with its
// standard output and error on pipes, so a test can read what it prints,
// signal it and look at the files it writes. MIRX_SERVER_PATH and
// MIRX_SERVER_WRAPPER in the environment run another build of the server in
// its place, for instance a cross-built one under an emulator.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nodelib/udp_endpoint.h"

namespace mirx::e2e {

// A free UDP port on every address, found by letting the kernel pick one.
std::uint16_t free_udp_port();

// A time stamp as the server prints it, as a regular expression.
inline const std::string stamp =
    "[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}";

class server_process {
 public:
  server_process();   // makes the temporary directory
  ~server_process();  // kills the server if still running, removes the directory
  server_process(const server_process&) = delete;
  server_process& operator=(const server_process&) = delete;

  const std::string& dir() const { return dir_; }
  void write_file(const std::string& name, const std::string& content) const;
  std::string read_file(const std::string& name) const;

  // Starts the server with `args`; returns at once.
  void start(const std::vector<std::string>& args);
  // Starts another program the same way, with `own_network` in a network
  // namespace of its own. Where the system allows none, it runs in the
  // host's network and leaves a file "no-namespace" in dir().
  void start_program(const std::string& path, const std::vector<std::string>& args,
                     bool own_network = false);
  // Waits until standard output (or error) holds `text`; false after `timeout_ms`.
  bool wait_for(const std::string& text, int timeout_ms = 5000, bool on_err = false);
  // Waits for the process to end; its exit status, or -1 (killed by a signal
  // or still running after `timeout_ms`).
  int wait_exit(int timeout_ms = 5000);
  void signal(int sig) const;
  pid_t pid() const { return pid_; }

  std::string out();  // everything printed on standard output so far
  std::string err();  // everything printed on standard error so far

 private:
  void pump(int fd, std::string* into);
  std::string dir_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::mutex lock_;
  std::string out_, err_;
  std::thread out_reader_, err_reader_;
};

// A running server on its own ports with nodes at 127.0.0.2, .3, ... all
// bound at its OutPort, ready once it has printed its log-server line.
struct conference_fixture {
  std::uint16_t in_port = 0;
  std::uint16_t out_port = 0;
  std::uint32_t server_ip = 0;  // 127.0.0.1
  server_process server;
  std::vector<nodes::udp_endpoint> nodes;

  // Binds `node_count` nodes; `extra_config` is appended to the config file.
  explicit conference_fixture(int node_count);
  void start(const std::vector<std::string>& args, const std::string& extra_config = "");
  std::string config() const;
  void send(int node, const void* data, std::size_t length) const;
  template <typename Bytes>
  void send(int node, const Bytes& b) const {
    send(node, b.data(), b.size());
  }
  // Stops the server with SIGINT and returns its log file.
  std::string stop_and_read_log();
};

using bytes = std::vector<std::uint8_t>;

template <typename A>
bytes to_bytes(const A& a) {
  return bytes(a.begin(), a.end());
}

// Registers node i as "CALL<i>" with the name "GW" and takes its reply.
void register_all(conference_fixture& f);

// What a node receives: first the `expected` datagrams (each within 3 s, so
// a loaded machine does not fail the test), then whatever more arrives until
// `quiet_ms` pass without a datagram.
std::vector<bytes> received(const nodes::udp_endpoint& n, std::size_t expected = 0,
                            int quiet_ms = 300);

}  // namespace mirx::e2e
