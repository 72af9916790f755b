#include "driver/relay_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace mirx::bench {
namespace {

constexpr const char* log_name = "MirxServerLog";

std::vector<std::string> arguments(const relay_setup& setup, const relay_binaries& bin,
                                   std::uint16_t in_port, std::uint16_t out_port) {
  if (setup.reference) {
    std::vector<std::string> a{bin.reference, std::to_string(in_port), std::to_string(out_port)};
    if (setup.batch) a.push_back("--sendmmsg");
    if (setup.uring) a.push_back("--uring");
    if (setup.linked) a.push_back("--linked");
    return a;
  }
  std::vector<std::string> a{setup.baseline ? bin.baseline : bin.server};
  if (setup.info) a.push_back("-i");
  return a;
}

// In the child: its own directory, console to /dev/null (a console that
// costs what writing costs, no more), gone when the driver goes.
[[noreturn]] void exec_child(const std::string& dir, const std::vector<std::string>& args) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::chdir(dir.c_str()) != 0) ::_exit(127);
  const int null = ::open("/dev/null", O_RDWR);
  ::dup2(null, STDIN_FILENO);
  ::dup2(null, STDOUT_FILENO);
  ::dup2(null, STDERR_FILENO);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

std::uint16_t free_udp_port() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

relay_process::relay_process(const relay_setup& setup, const relay_binaries& bin,
                             std::uint16_t out_port)
    : setup_(setup), in_port_(free_udp_port()) {
  char dir[] = "/tmp/mirx-bench-XXXXXX";
  if (::mkdtemp(dir) == nullptr) throw std::runtime_error("cannot make a temporary directory");
  dir_ = dir;
  std::ofstream(dir_ + "/mirx_server.cfg")
      << "InPort=" << in_port_ << ";\nOutPort=" << out_port
      << ";\nLogFileName=" << (setup.log_file ? log_name : "") << ";\n"
      << setup.extra_config;
  const auto args = arguments(setup, bin, in_port_, out_port);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("cannot fork");
  if (pid_ == 0) exec_child(dir_, args);
}

relay_process::~relay_process() {
  stop();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

bool relay_process::alive() const {
  return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0;
}

std::int64_t relay_process::cpu_ns() const {
  const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
  std::int64_t sum = 0;
  DIR* d = ::opendir(tasks.c_str());
  if (d == nullptr) return 0;
  for (dirent* e = ::readdir(d); e != nullptr; e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::istringstream in(read_text(tasks + "/" + e->d_name + "/schedstat"));
    std::int64_t ns = 0;
    in >> ns;
    sum += ns;
  }
  ::closedir(d);
  return sum;
}

long relay_process::rss_kib() const {
  std::istringstream in(read_text("/proc/" + std::to_string(pid_) + "/status"));
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// A line of /proc/net/udp: "sl local rem st tx:rx tr tm retr uid timeout
// inode ref pointer drops", addresses and queues in hex.
socket_state relay_process::in_socket() const {
  char local[32];
  std::snprintf(local, sizeof local, "00000000:%04X", in_port_);
  std::istringstream in(read_text("/proc/net/udp"));
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string sl, loc, rem, st, queues, tr, retr, uid, timeout, inode, ref, pointer;
    std::uint64_t drops = 0;
    f >> sl >> loc >> rem >> st >> queues >> tr >> retr >> uid >> timeout >> inode >> ref >>
        pointer >> drops;
    if (loc != local) continue;
    const std::string rx = queues.substr(queues.find(':') + 1);
    return {true, std::stoull(rx, nullptr, 16), drops};
  }
  return {};
}

void relay_process::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) != 0) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

long relay_process::stop_and_count_log_lines() {
  stop();
  if (!setup_.log_file) return -1;
  std::ifstream in(dir_ + "/" + log_name);
  long lines = 0;
  for (std::string line; std::getline(in, line);)
    if (line.rfind("Send DV Packet to ", 0) == 0) ++lines;
  return lines;
}

}  // namespace mirx::bench
