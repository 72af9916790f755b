// What may stall or vanish around the server must not stall the conference
// or a stop: a D-PRS port nobody reads or that goes away, a console pipe
// nobody reads or whose reader has gone, standard output closed at start.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

#include "e2e/pty.h"
#include "e2e/server_process.h"

namespace mirx::e2e {
namespace {

const std::string report = "$$CRCB3A1,A>API705:!3540.00N/13945.00E>\r";

std::string drain(const pty& p, int quiet_ms = 300) {
  return p.read(std::string::npos, quiet_ms, 10000);
}

std::string dprs_config(const std::string& name) {
  return "DprsSW=ON;\nDprsComPort=" + name + ";\n";
}

// Sends `stream` from node 0 a hundred datagrams at a time, counting what
// node 1 (the relay) and node 0 (the answers) receive meanwhile.
struct delivered {
  std::size_t relayed = 0, answers = 0;
};
delivered send_paced(conference_fixture& f, const std::vector<bytes>& stream) {
  delivered d;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    f.send(0, stream[i]);
    if (i % 100 == 99 || i + 1 == stream.size()) {
      d.relayed += f.nodes[1].drain(20).size();
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
  pty p;
  REQUIRE_PTY(p);
  conference_fixture f(2);
  f.start({}, dprs_config(p.name));
  register_all(f);
  std::string offered;  // three times what the terminal holds
  while (offered.size() < 64 * 1024) offered += report;
  const std::vector<bytes> stream = position_stream(offered, 0x1111);
  const delivered d = send_paced(f, stream);
  EXPECT_EQ(d.relayed, stream.size());
  EXPECT_EQ(d.answers, 12u);
  const std::string dropping = "D-PRS port /dev/" + p.name + " does not take data: dropping";
  EXPECT_EQ(count(f.server.out(), dropping), 1u) << f.server.out();

  // The reader wakes up: what was held comes, the drop count is reported
  // once, and the next report arrives whole.
  const std::string backlog = drain(p);
  ASSERT_TRUE(f.server.wait_for("takes data again", 3000)) << f.server.out();
  const std::string out = f.server.out();
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(out, m, std::regex("takes data again: ([0-9]+) bytes in [0-9]+ w")));
  const std::size_t dropped = std::stoul(m[1]);
  EXPECT_EQ(backlog.size() + drain(p).size() + dropped, offered.size());
  const std::vector<bytes> next = position_stream(report, 0x2222);
  EXPECT_EQ(send_paced(f, next).relayed, next.size());
  EXPECT_EQ(drain(p, 500), report);
  std::printf("[figures] offered %zu position bytes, dropped %zu, relayed %zu of %zu datagrams\n",
              offered.size(), dropped, d.relayed, stream.size());
}

// A symbolic link under /dev/ stands for the device: it points at one
// terminal, goes away, then points at another.
TEST(DprsPort, LostDeviceIsReopenedAndPositionsFlowAgain) {
  const std::string name = "mx" + std::to_string(::getpid() % 10000), link = "/dev/" + name;
  const std::shared_ptr<void> unlink_at_end(nullptr, [&](void*) { ::unlink(link.c_str()); });
  auto first = std::make_unique<pty>();
  if (first->master < 0 || ::symlink(("/dev/" + first->name).c_str(), link.c_str()) != 0)
    GTEST_SKIP() << "cannot make " << link;
  conference_fixture f(2);
  f.start({}, dprs_config(name));
  register_all(f);
  const std::vector<bytes> stream = position_stream(report, 0x3333);
  const auto relays = [&] { EXPECT_EQ(send_paced(f, stream).relayed, stream.size()); };
  relays();
  EXPECT_EQ(drain(*first), report);

  first.reset();
  ::unlink(link.c_str());
  relays();
  EXPECT_TRUE(f.server.wait_for("D-PRS port " + link + " lost : ", 2000)) << f.server.out();
  relays();

  pty second;
  ASSERT_EQ(::symlink(("/dev/" + second.name).c_str(), link.c_str()), 0);
  EXPECT_TRUE(f.server.wait_for("D-PRS port " + link + " is back", 5000)) << f.server.out();
  relays();
  EXPECT_EQ(drain(second), report);
  EXPECT_EQ(count(f.server.out(), " lost : "), 1u) << f.server.out();
  EXPECT_EQ(count(f.server.out(), " is back"), 1u) << f.server.out();
}

enum class console { never_read, reader_gone, closed };

// The server with its console on a pipe the test never reads, or whose
// reader is gone before traffic begins, or with standard output closed; its
// error stream discarded. Ready once its log file has its first line.
struct console_server {
  conference_fixture f{2};
  int pipe_fds[2] = {-1, -1};
  pid_t pid = -1;

  console_server(console c, bool info, const std::string& extra) {
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    f.server.write_file("mirx_server.cfg", f.config() + extra);
    pid = ::fork();
    if (pid == 0) {
      ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
      c == console::closed ? ::close(STDOUT_FILENO) : ::dup2(pipe_fds[1], STDOUT_FILENO);
      if (::chdir(f.server.dir().c_str()) == 0)
        ::execl(MIRX_SERVER_PATH, MIRX_SERVER_PATH, info ? "-i" : nullptr, nullptr);
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
    const auto at = std::chrono::steady_clock::now();
    ::kill(pid, SIGTERM);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 600 && !(ended = ::waitpid(pid, &status, WNOHANG) == pid); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!ended) return {-1, 3.0};
    pid = -1;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - at;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, took.count()};
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
    pty p;
    console_server s(r.c, r.info, dprs_config(p.name));
    register_all(s.f);
    const std::vector<bytes> stream = position_stream(r.position, 0x4444, r.all_relayed ? 0 : 4000);
    delivered d = send_paced(s.f, stream);
    EXPECT_TRUE(!r.all_relayed || d.relayed == stream.size()) << d.relayed;
    EXPECT_TRUE(r.position != report || drain(p) == report);
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
