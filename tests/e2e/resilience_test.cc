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
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
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

enum class console { never_read, reader_gone, closed };

// The server with its console on a pipe the test never reads, or whose
// reader is gone before traffic begins, or with standard output closed; its
// error stream discarded. Ready once its log file has its first line.
struct console_server {
  conference_fixture f{2};
  int pipe_fds[2] = {-1, -1};
  pid_t pid = -1;

  console_server(console c, const std::vector<std::string>& args, const std::string& extra) {
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    f.server.write_file("mirx_server.cfg", f.config() + extra);
    std::vector<std::string> text{MIRX_SERVER_PATH};
    text.insert(text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : text) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid = ::fork();
    if (pid == 0) {
      ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
      if (c == console::closed)
        ::close(STDOUT_FILENO);
      else
        ::dup2(pipe_fds[1], STDOUT_FILENO);
      if (::chdir(f.server.dir().c_str()) == 0) ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(pipe_fds[1]);
    if (c == console::reader_gone) ::close(std::exchange(pipe_fds[0], -1));
    for (int i = 0; i < 500 && f.server.read_file("MirxServerLog").empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~console_server() {
    if (pipe_fds[0] >= 0) ::close(pipe_fds[0]);
    if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
  }
  // SIGTERM; the exit status (-1 when still running after 3 s) and seconds taken.
  std::pair<int, double> stop() {
    const auto at = steady_clock::now();
    ::kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 600; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
      if (::waitpid(pid, &status, WNOHANG) != pid) continue;
      pid = -1;
      const std::chrono::duration<double> took = steady_clock::now() - at;
      return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, took.count()};
    }
    return {-1, 3.0};
  }
};

// Whatever the loop is blocked on, a stop ends the process within two seconds
// with status 3, its log file ending in "log end" and holding a line for every
// delivery made; a console reader gone leaves the relay going; with standard
// output closed nothing but log lines reach the log file and nothing but
// position bytes the port.
TEST(StopWhateverBlocks, EndsWithinTwoSecondsAndTheConsoleLeaksNowhere) {
  std::string lots;
  while (lots.size() < 32 * 1024) lots += report;
  const struct {
    const char* what;
    console c;
    bool info;
    std::string position;
    bool all_relayed;  // else the server stalls on its console
  } rows[] = {{"console pipe never read, -i", console::never_read, true, "", false},
              {"D-PRS port never read", console::never_read, false, lots, true},
              {"console reader gone, -i", console::reader_gone, true, "", true},
              {"standard output closed at start, -i", console::closed, true, report, true}};
  const std::regex first_line("log start " + stamp);
  const std::regex log_line("log end " + stamp + "|" + stamp +
                            " Node IP address added .*|Not found entry table: .*|"
                            "Send DV Packet to CALL1 *");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    pty_pair p;
    console_server s(r.c, r.info ? std::vector<std::string>{"-i"} : std::vector<std::string>{},
                     "DprsSW=ON;\nDprsComPort=" + p.path.substr(5) + ";\n");
    register_all(s.f);
    const std::vector<bytes> stream = position_stream(r.position, 0x4444, r.all_relayed ? 0 : 4000);
    delivered d = send_paced(s.f, stream);
    if (r.all_relayed) {
      EXPECT_EQ(d.relayed, stream.size());
    }
    if (r.position == report) {
      EXPECT_EQ(p.drain(300), report);
    }
    const auto [status, seconds] = s.stop();
    d.relayed += s.f.nodes[1].drain(300).size();
    EXPECT_EQ(status, 3);
    EXPECT_LT(seconds, 2.0);
    const std::string log = s.f.server.read_file("MirxServerLog");
    EXPECT_EQ(count(log, "Send DV Packet to CALL1"), d.relayed - 1);  // the header has none
    std::istringstream lines(log);
    std::string l, last;
    for (int n = 0; std::getline(lines, l); last = l, ++n)
      if (!std::regex_match(l, n == 0 ? first_line : log_line)) ADD_FAILURE() << l;
    EXPECT_TRUE(std::regex_match(last, std::regex("log end " + stamp))) << last;
    std::printf("[figures] %s: stop took %.3f s, %zu deliveries\n", r.what, seconds, d.relayed);
  }
}

}  // namespace
}  // namespace mirx::e2e
