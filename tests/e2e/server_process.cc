#include "e2e/server_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>

#include "nodelib/packets.h"

namespace mirx::e2e {

// The kernel hands out ports from 32768 up (its range for port 0) to every
// unbound socket that sends, the server's own out socket among them, so a port
// it gave a probe can be taken by another test before the server binds it. A
// port picked at random below that range, and free now, cannot be.
std::uint16_t free_udp_port() {
  static std::mutex lock;
  static std::mt19937 pick(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
  std::lock_guard<std::mutex> hold(lock);
  std::uniform_int_distribution<int> below_ephemeral(20000, 32767);
  for (int tries = 0; tries < 500; ++tries) {
    const auto port = static_cast<std::uint16_t>(below_ephemeral(pick));
    if (nodes::udp_endpoint::bind("0.0.0.0", port)) return port;
  }
  throw std::runtime_error("no free UDP port");
}

server_process::server_process() {
  char pattern[] = "/tmp/mirx-e2e-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
}

server_process::~server_process() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (out_reader_.joinable()) out_reader_.join();
  if (err_reader_.joinable()) err_reader_.join();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void server_process::write_file(const std::string& name, const std::string& content) const {
  std::ofstream(dir_ + "/" + name, std::ios::binary) << content;
}

std::string server_process::read_file(const std::string& name) const {
  std::ifstream in(dir_ + "/" + name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void server_process::pump(int fd, std::string* into) {
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    std::lock_guard<std::mutex> hold(lock_);
    into->append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
}

namespace {

// The command that runs `path`: the program itself, except that the server
// built here may be replaced by another build of it (MIRX_SERVER_PATH in the
// environment, for instance a cross-built one) run through a wrapper
// (MIRX_SERVER_WRAPPER, words separated by spaces, for instance an emulator).
std::vector<std::string> command_for(const std::string& path) {
  if (path != MIRX_SERVER_PATH) return {path};
  std::vector<std::string> words;
  if (const char* wrapper = std::getenv("MIRX_SERVER_WRAPPER")) {
    std::istringstream split(wrapper);
    for (std::string w; split >> w;) words.push_back(w);
  }
  const char* other = std::getenv("MIRX_SERVER_PATH");
  words.push_back(other != nullptr && *other != '\0' ? other : path);
  return words;
}

}  // namespace

void server_process::start(const std::vector<std::string>& args) {
  start_program(MIRX_SERVER_PATH, args);
}

void server_process::start_program(const std::string& path, const std::vector<std::string>& args,
                                   bool own_network) {
  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  std::vector<std::string> argv_text = command_for(path);
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out_pipe[1], STDOUT_FILENO);
    ::dup2(err_pipe[1], STDERR_FILENO);
    if (::chdir(dir_.c_str()) != 0) ::_exit(127);
    if (own_network && ::unshare(CLONE_NEWNET) != 0)
      ::close(::open("no-namespace", O_WRONLY | O_CREAT, 0600));
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  out_reader_ = std::thread([this, fd = out_pipe[0]] { pump(fd, &out_); });
  err_reader_ = std::thread([this, fd = err_pipe[0]] { pump(fd, &err_); });
}

bool server_process::wait_for(const std::string& text, int timeout_ms, bool on_err) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if ((on_err ? err() : out()).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

int server_process::wait_exit(int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  while (!reaped_ && std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      reaped_ = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!reaped_) return -1;
  if (out_reader_.joinable()) out_reader_.join();
  if (err_reader_.joinable()) err_reader_.join();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void server_process::signal(int sig) const {
  ::kill(pid_, sig);
}

std::string server_process::out() {
  std::lock_guard<std::mutex> hold(lock_);
  return out_;
}

std::string server_process::err() {
  std::lock_guard<std::mutex> hold(lock_);
  return err_;
}

conference_fixture::conference_fixture(int node_count) {
  server_ip = *mirx::parse_ipv4("127.0.0.1");
  // Every node listens at the one OutPort on an address of its own; let the
  // first pick a free port and the others follow.
  for (int i = 0; i < node_count; ++i) {
    const std::string address = "127.0.0." + std::to_string(2 + i);
    std::string why;
    auto node = nodes::udp_endpoint::bind(address, out_port, &why);
    if (!node) throw std::runtime_error(why);
    out_port = node->port();
    nodes.push_back(std::move(*node));
  }
  in_port = free_udp_port();
}

std::string conference_fixture::config() const {
  return "InPort=" + std::to_string(in_port) + ";\nOutPort=" + std::to_string(out_port) + ";\n";
}

void conference_fixture::start(const std::vector<std::string>& args,
                               const std::string& extra_config) {
  server.write_file("mirx_server.cfg", config() + extra_config);
  server.start(args);
  if (!server.wait_for("log server", 5000) && !server.wait_for("Log Server", 1))
    throw std::runtime_error("server did not start: " + server.out() + server.err());
}

void conference_fixture::send(int node, const void* data, std::size_t length) const {
  nodes[static_cast<std::size_t>(node)].send_to(data, length, server_ip, in_port);
}

std::string conference_fixture::stop_and_read_log() {
  server.signal(SIGINT);
  server.wait_exit();
  return server.read_file("MirxServerLog");
}

void register_all(conference_fixture& f) {
  for (std::size_t i = 0; i < f.nodes.size(); ++i) {
    f.send(static_cast<int>(i), nodes::make_registration("CALL" + std::to_string(i), "GW"));
    ASSERT_TRUE(f.nodes[i].receive(3000)) << "no reply for node " << i;
  }
}

std::vector<bytes> received(const nodes::udp_endpoint& n, std::size_t expected, int quiet_ms) {
  std::vector<bytes> got;
  while (got.size() < expected) {
    auto d = n.receive(3000);
    if (!d) return got;
    got.push_back(std::move(d->bytes));
  }
  for (auto& d : n.drain(quiet_ms)) got.push_back(std::move(d.bytes));
  return got;
}

}  // namespace mirx::e2e
