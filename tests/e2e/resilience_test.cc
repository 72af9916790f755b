// What may stall or vanish around the server must not stall the conference
// or a stop: a D-PRS port nobody reads or that goes away, a console pipe
// nobody reads or whose reader has gone, standard output closed at start.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dprs/slow_data.h"
#include "e2e/server_process.h"
#include "nodelib/packets.h"

namespace mirx::e2e {
namespace {

using std::chrono::steady_clock;

const std::string report = "$$CRCB3A1,A>API705:!3540.00N/13945.00E>\r";

// A pseudo-terminal whose slave the server opens. The test holds the slave
// open too, so the master sees no hang-up until the test closes both.
struct pty_pair {
  int master = -1;
  int slave = -1;
  std::string path;  // "/dev/pts/N"

  pty_pair() {
    char name[64] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    path = name;
  }
  ~pty_pair() { close(); }
  void close() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
    slave = master = -1;
  }
  // Everything that arrives until `quiet_ms` pass without a byte.
  std::string drain(int quiet_ms) const {
    std::string got;
    for (int i = 0; i < 100000; ++i) {
      pollfd p{master, POLLIN, 0};
      char buf[4096];
      if (::poll(&p, 1, quiet_ms) <= 0) break;
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }
};

// A header and the voice packets that carry `position` in their slow data,
// at least `frames` of them.
std::vector<bytes> position_stream(const std::string& position, std::uint16_t id,
                                   std::size_t frames = 0) {
  nodes::header_fields h;
  h.my_call = "JA1ABC";
  std::vector<bytes> stream{to_bytes(nodes::make_header(h, id))};
  const slow::stream_encoder slow_data("", position);
  frames = std::max(frames, (slow_data.frames_needed() / 21 + 1) * 21);
  for (std::size_t i = 0; i < frames; ++i)
    stream.push_back(
        to_bytes(nodes::make_voice(static_cast<std::uint16_t>(i % 21), slow_data.frame(i), id)));
  return stream;
}

// Sends `stream` from node 0 a hundred datagrams at a time, taking what
// node 1 and node 0 (the answers) receive meanwhile; returns their counts.
struct delivered {
  std::size_t relayed = 0;
  std::size_t answers = 0;
};
delivered send_paced(conference_fixture& f, const std::vector<bytes>& stream, int quiet_ms = 20) {
  delivered d;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    f.send(0, stream[i]);
    if (i % 100 == 99 || i + 1 == stream.size()) {
      d.relayed += f.nodes[1].drain(quiet_ms).size();
      d.answers += f.nodes[0].drain(1).size();
    }
  }
  d.relayed += f.nodes[1].drain(300).size();
  d.answers += f.nodes[0].drain(50).size();
  return d;
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string last_line(const std::string& text) {
  const std::size_t end = text.find_last_not_of('\n');
  if (end == std::string::npos) return "";
  const std::size_t begin = text.rfind('\n', end);
  return text.substr(begin == std::string::npos ? 0 : begin + 1, end - (begin + 1) + 1);
}

TEST(DprsPort, StalledReaderDropsWholeWritesWhileTheRelayGoesOn) {
  pty_pair p;
  if (p.master < 0) GTEST_SKIP() << "no pseudo-terminal";
  conference_fixture f(2);
  f.start({}, "DprsSW=ON;\nDprsComPort=" + p.path.substr(5) + ";\n");
  register_all(f);
  // Three times what the terminal holds.
  std::string offered;
  while (offered.size() < 64 * 1024) offered += report;
  const std::vector<bytes> stream = position_stream(offered, 0x1111);
  const delivered d = send_paced(f, stream);
  EXPECT_EQ(d.relayed, stream.size());
  EXPECT_EQ(d.answers, 12u);
  const std::string dropping = "D-PRS port " + p.path + " does not take data: dropping";
  EXPECT_EQ(count(f.server.out(), dropping), 1u) << f.server.out();

  // The reader wakes up: what was held comes, the drop count is reported
  // once, and the next report arrives whole.
  const std::string backlog = p.drain(300);
  ASSERT_TRUE(f.server.wait_for("takes data again", 3000)) << f.server.out();
  const std::string out = f.server.out();
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(out, m, std::regex("takes data again: ([0-9]+) bytes in [0-9]+ w")));
  const std::size_t dropped = std::stoul(m[1]);
  EXPECT_EQ(backlog.size() + p.drain(300).size() + dropped, offered.size());
  const std::vector<bytes> next = position_stream(report, 0x2222);
  EXPECT_EQ(send_paced(f, next).relayed, next.size());
  EXPECT_EQ(p.drain(500), report);
  std::printf("[figures] offered %zu position bytes, dropped %zu, relayed %zu of %zu datagrams\n",
              offered.size(), dropped, d.relayed, stream.size());
}

TEST(DprsPort, LostDeviceIsReopenedAndPositionsFlowAgain) {
  const std::string name = "mx" + std::to_string(::getpid() % 10000);
  const std::string link = "/dev/" + name;
  struct unlink_at_end {
    std::string path;
    ~unlink_at_end() { ::unlink(path.c_str()); }
  } cleanup{link};
  auto first = std::make_unique<pty_pair>();
  if (first->master < 0 || ::symlink(first->path.c_str(), link.c_str()) != 0)
    GTEST_SKIP() << "cannot make " << link;
  conference_fixture f(2);
  f.start({}, "DprsSW=ON;\nDprsComPort=" + name + ";\n");
  register_all(f);
  const std::vector<bytes> stream = position_stream(report, 0x3333);
  EXPECT_EQ(send_paced(f, stream).relayed, stream.size());
  EXPECT_EQ(first->drain(300), report);

  first.reset();  // the device goes away
  ::unlink(link.c_str());
  EXPECT_EQ(send_paced(f, stream).relayed, stream.size());
  EXPECT_TRUE(f.server.wait_for("D-PRS port " + link + " lost : ", 2000)) << f.server.out();
  EXPECT_EQ(send_paced(f, stream).relayed, stream.size());

  pty_pair second;  // and comes back under the same name
  ASSERT_EQ(::symlink(second.path.c_str(), link.c_str()), 0);
  EXPECT_TRUE(f.server.wait_for("D-PRS port " + link + " is back", 5000)) << f.server.out();
  EXPECT_EQ(send_paced(f, stream).relayed, stream.size());
  EXPECT_EQ(second.drain(300), report);
  const std::string out = f.server.out();
  EXPECT_EQ(count(out, " lost : "), 1u) << out;
  EXPECT_EQ(count(out, " is back"), 1u) << out;
}

// The server with standard output on `out_fd` (closed when -1) and its
// error stream discarded, in the temporary directory of `dir`.
pid_t launch(const server_process& dir, const std::vector<std::string>& args, int out_fd) {
  std::vector<std::string> text{MIRX_SERVER_PATH};
  text.insert(text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : text) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDERR_FILENO);
    if (out_fd >= 0)
      ::dup2(out_fd, STDOUT_FILENO);
    else
      ::close(STDOUT_FILENO);
    if (::chdir(dir.dir().c_str()) != 0) ::_exit(127);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// Status of `pid` and how long after `since` it ended; -1 when it is still
// running after 3 s (it is then killed).
struct ending {
  int status = -1;
  double seconds = 0;
};
ending wait_end(pid_t pid, steady_clock::time_point since) {
  int status = 0;
  for (int i = 0; i < 600; ++i) {
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      const std::chrono::duration<double> took = steady_clock::now() - since;
      return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, took.count()};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return {};
}

// A server whose console is a pipe, started by hand so that the test decides
// who reads it; ready once its log file has its first line.
struct piped_server {
  conference_fixture f{2};
  int pipe_fds[2] = {-1, -1};
  pid_t pid = -1;

  void start(const std::vector<std::string>& args, const std::string& extra) {
    ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
    f.server.write_file("mirx_server.cfg", f.config() + extra);
    pid = launch(f.server, args, pipe_fds[1]);
    ::close(pipe_fds[1]);
    for (int i = 0; i < 500 && f.server.read_file("MirxServerLog").empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    register_all(f);
  }
  ending stop() {
    const auto at = steady_clock::now();
    ::kill(pid, SIGTERM);
    return wait_end(pid, at);
  }
  ~piped_server() {
    if (pipe_fds[0] >= 0) ::close(pipe_fds[0]);
    if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
  }
};

// Whatever the loop is blocked on, a stop ends the process within two
// seconds with status 3, its log file ending in "log end" and holding a line
// for every delivery made.
TEST(StopWhateverBlocks, EndsWithinTwoSecondsWhenTheConsoleOrThePortIsNeverRead) {
  const struct {
    const char* what;
    bool info;
    bool dprs;
  } rows[] = {{"console pipe never read, -i", true, false}, {"D-PRS port never read", false, true}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    pty_pair p;
    piped_server s;
    s.start(r.info ? std::vector<std::string>{"-i"} : std::vector<std::string>{},
            r.dprs ? "DprsSW=ON;\nDprsComPort=" + p.path.substr(5) + ";\n" : "");
    std::string position;
    while (position.size() < 32 * 1024) position += report;
    const std::vector<bytes> stream = position_stream(r.dprs ? position : "", 0x4444, 4000);
    delivered d = send_paced(s.f, stream);
    const ending e = s.stop();
    d.relayed += s.f.nodes[1].drain(300).size();
    EXPECT_EQ(e.status, 3);
    EXPECT_LT(e.seconds, 2.0);
    const std::string log = s.f.server.read_file("MirxServerLog");
    EXPECT_EQ(log.rfind("log start ", 0), 0u);
    EXPECT_TRUE(std::regex_match(last_line(log), std::regex("log end " + stamp))) << last_line(log);
    EXPECT_EQ(count(log, "Send DV Packet to CALL1"), d.relayed - 1);  // the header has none
    std::printf("[figures] %s: stop took %.3f s, %zu deliveries\n", r.what, e.seconds, d.relayed);
  }
}

TEST(StopWhateverBlocks, ConsoleReaderGoneTheServerRelaysAndStopsNormally) {
  piped_server s;
  s.start({"-i"}, "");
  ::close(s.pipe_fds[0]);
  s.pipe_fds[0] = -1;
  const std::vector<bytes> stream = position_stream("", 0x5555);
  EXPECT_EQ(send_paced(s.f, stream).relayed, stream.size());
  const ending e = s.stop();
  EXPECT_EQ(e.status, 3);
  EXPECT_LT(e.seconds, 2.0);
  EXPECT_TRUE(std::regex_match(last_line(s.f.server.read_file("MirxServerLog")),
                               std::regex("log end " + stamp)));
}

// Neither the log file nor the serial port can take descriptor 1.
TEST(StopWhateverBlocks, StandardOutputClosedAtStartLeaksIntoNoFile) {
  pty_pair p;
  conference_fixture f(2);
  f.server.write_file("mirx_server.cfg",
                      f.config() + "DprsSW=ON;\nDprsComPort=" + p.path.substr(5) + ";\n");
  const pid_t pid = launch(f.server, {"-i"}, -1);
  for (int i = 0; i < 500 && f.server.read_file("MirxServerLog").empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  register_all(f);
  const std::vector<bytes> stream = position_stream(report, 0x6666);
  EXPECT_EQ(send_paced(f, stream).relayed, stream.size());
  EXPECT_EQ(p.drain(300), report);
  ::kill(pid, SIGTERM);
  EXPECT_EQ(wait_end(pid, steady_clock::now()).status, 3);
  const std::string log_line = "(log (start|end) " + stamp + "|" + stamp +
                               " Node IP address added .*|Not found entry table: .*|"
                               "Send DV Packet to CALL1 *)";
  std::istringstream log(f.server.read_file("MirxServerLog"));
  std::size_t lines = 0;
  for (std::string l; std::getline(log, l); ++lines)
    EXPECT_TRUE(std::regex_match(l, std::regex(log_line))) << l;
  EXPECT_GT(lines, 4u);
}

}  // namespace
}  // namespace mirx::e2e
