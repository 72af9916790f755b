// The operator controls through the real binary: the access list and its
// reloads, the closed relay, the table limit, the table kept across a stop
// and a kill, the log file without voice lines and reopened on SIGUSR1.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>

#include "e2e/server_process.h"
#include "nodelib/packets.h"

namespace mirx::e2e {
namespace {

// Four nodes at 127.0.0.2 .. .5 and a log-server receiver at 127.0.0.1.
class controls : public ::testing::Test {
 protected:
  conference_fixture f{4};
  nodes::udp_endpoint logrx = *nodes::udp_endpoint::bind("127.0.0.1", 0);

  // Starts `server` in `f`'s conference; `ready` is a console text that
  // start-up prints, or empty when the first enrol is the sign of readiness.
  void start(server_process& server, const std::string& extra, const std::string& ready) {
    server.write_file("mirx_server.cfg", f.config() + "LogServer=127.0.0.1;\nLogPort=" +
                                             std::to_string(logrx.port()) + ";\n" + extra);
    server.start({"-i"});
    ASSERT_TRUE(ready.empty() || server.wait_for(ready)) << server.out();
  }
  // Registers node `n` as `call` and waits for the reply, asking again while
  // the server may still be starting.
  void enrol(int n, const std::string& call) {
    for (int attempt = 0; attempt < 25; ++attempt) {
      f.send(n, nodes::make_registration(call, "GW"));
      if (f.nodes[static_cast<std::size_t>(n)].receive(200)) return;
    }
    FAIL() << "no reply to " << call << ": " << f.server.out();
  }
  // True when node `n` gets no datagram in the next `ms`.
  bool silent(int n, int ms = 400) {
    return f.nodes[static_cast<std::size_t>(n)].drain(ms).empty();
  }
  void header(int n, const std::string& my_call) {
    nodes::header_fields h;
    h.my_call = my_call;
    f.send(n, nodes::make_header(h));
  }
  void voice(int n) { f.send(n, nodes::make_voice(1, {0x66, 0x66, 0x66})); }
  // The tags and call1 of every record that arrives until it is quiet.
  std::vector<std::string> records() {
    std::vector<std::string> got;
    for (const auto& d : logrx.drain(300))
      got.push_back(std::string(d.bytes.begin(), d.bytes.begin() + 4) + " " +
                    std::string(d.bytes.begin() + 8, d.bytes.begin() + 16));
    return got;
  }
  void drain_all() {
    for (auto& n : f.nodes) n.drain(200);
    logrx.drain(100);
  }
};

using strings = std::vector<std::string>;

// Admitted by call sign and by address, refused, silenced by a denied
// address; then a reload that kicks a node and a bad edit that changes nothing.
TEST_F(controls, AccessListAdmitsRefusesSilencesAndReloads) {
  f.server.write_file("access.txt", "allow CALL0\nallow 127.0.0.3   # node 1\ndeny 127.0.0.5\n");
  start(f.server, "AccessFile=access.txt;\n", "Access file access.txt read: 3 rules in force");
  enrol(0, "CALL0");
  enrol(1, "ANY1");
  f.send(2, nodes::make_registration("CALL2", "GW"));
  EXPECT_TRUE(silent(2)) << "a refused registration gets no reply";
  EXPECT_TRUE(f.server.wait_for(
      "Registration refused CALL2    GW       127.0.0.4: not admitted by the access list"));
  drain_all();
  // Not even a registration of an allowed call sign from the denied address.
  f.send(3, nodes::make_registration("CALL0", "GW"));
  header(3, "DENIED");
  voice(3);
  f.send(3, bytes(16, 0));
  for (int n = 0; n < 4; ++n) EXPECT_TRUE(silent(n, n == 0 ? 400 : 0)) << n;
  EXPECT_EQ(records(), strings{}) << "no ACC record for a denied address";
  EXPECT_TRUE(f.server.wait_for("Dropped header of DENIED   from 127.0.0.5: address denied"));
  header(0, "SPEAKER");
  EXPECT_EQ(received(f.nodes[1], 1).size(), 1u);
  EXPECT_TRUE(silent(2));
  drain_all();

  f.server.write_file("access.txt", "allow CALL*\n");
  ASSERT_TRUE(
      f.server.wait_for("Access file access.txt reloaded: 1 rules in force, 1 entries removed"));
  EXPECT_EQ(records(), strings{"DEL  ANY1    "});
  enrol(2, "CALL2");
  drain_all();
  voice(2);
  EXPECT_EQ(received(f.nodes[0], 1).size(), 1u) << "the others keep receiving";
  EXPECT_TRUE(silent(1));

  f.server.write_file("access.txt", "allow CALL0\nallow\n");
  ASSERT_TRUE(f.server.wait_for("Access file access.txt line 2: "));
  EXPECT_TRUE(f.server.wait_for("; the rules in force stay"));
  voice(2);
  EXPECT_EQ(received(f.nodes[0], 1).size(), 1u) << "the bad file must not have been applied";
  f.send(1, nodes::make_registration("ANY1", "GW"));
  EXPECT_TRUE(silent(1)) << "the old rules still refuse ANY1";
  const std::string log = f.stop_and_read_log();
  EXPECT_NE(log.find("Deleted from table: GW       ANY1    \n"), std::string::npos) << log;
  EXPECT_NE(log.find("reloaded: 1 rules in force, 1 entries removed\n"), std::string::npos);
}

TEST_F(controls, UnreadableAccessFileAdmitsNobodyUntilItCanBeRead) {
  start(f.server, "AccessFile=later.txt;\n",
        "Access file later.txt cannot be read: No such file or directory; nobody is admitted "
        "until it can be read");
  f.send(0, nodes::make_registration("CALL0", "GW"));
  EXPECT_TRUE(silent(0));
  EXPECT_TRUE(f.server.wait_for("Registration refused CALL0    GW       127.0.0.2: access file"));
  f.server.write_file("later.txt", "allow *\n");
  ASSERT_TRUE(f.server.wait_for("Access file later.txt reloaded: 1 rules in force"));
  enrol(0, "CALL0");
}

// A registration refused for a full table leaves a stranger whom the closed
// relay neither relays nor answers; a known call sign may still move. The
// log file, without voice lines, is renamed and reopened on SIGUSR1.
TEST_F(controls, FullTableClosedRelayAndQuietLogRotation) {
  start(f.server, "MaxNodes=2;\nRelayUnregistered=OFF;\nLogVoice=OFF;\n", "");
  enrol(0, "CALL0");
  enrol(1, "CALL1");
  drain_all();
  f.send(2, nodes::make_registration("CALL2", "GW"));
  header(2, "STRANGER");
  for (int i = 0; i < 5; ++i) voice(2);
  for (int n = 0; n < 3; ++n) EXPECT_TRUE(silent(n, n == 0 ? 400 : 0)) << n;
  EXPECT_EQ(records(), strings{}) << "no ACC record";
  EXPECT_TRUE(f.server.wait_for("Registration refused CALL2    GW       127.0.0.4: table full"));
  EXPECT_TRUE(
      f.server.wait_for("Dropped header of STRANGER from 127.0.0.4: sender not registered"));

  enrol(2, "CALL1");  // CALL1 moves from node 1 to node 2
  drain_all();
  header(0, "SPEAKER");
  EXPECT_EQ(received(f.nodes[2], 1).size(), 1u);
  EXPECT_EQ(received(f.nodes[0], 12).size(), 12u) << "a registered speaker is answered";
  EXPECT_TRUE(silent(1));
  EXPECT_EQ(records(), strings{"ACC  CALL0   "});

  const std::string dir = f.server.dir();
  std::filesystem::rename(dir + "/MirxServerLog", dir + "/MirxServerLog.1");
  f.server.signal(SIGUSR1);
  for (int i = 0; i < 200 && !std::filesystem::exists(dir + "/MirxServerLog"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  voice(0);
  EXPECT_EQ(received(f.nodes[2], 1).size(), 1u);
  f.send(3, nodes::make_registration("CALL3", "GW"));
  ASSERT_TRUE(f.server.wait_for("Registration refused CALL3"));
  const std::string now = f.stop_and_read_log();
  const std::string before = f.server.read_file("MirxServerLog.1");
  EXPECT_NE(before.find("Node IP address added CALL1"), std::string::npos) << before;
  EXPECT_EQ(before.find("CALL3"), std::string::npos);
  EXPECT_EQ(now.rfind("log reopen ", 0), 0u) << now;
  EXPECT_NE(now.find("Registration refused CALL3"), std::string::npos) << now;
  EXPECT_EQ((before + now).find("Send DV Packet"), std::string::npos);
}

// The first run cannot save until its directory appears: it says so once and
// saves at the next change. Each later run, in a directory of its own, is
// given the state file of the last.
TEST_F(controls, TableSurvivesAStopAndAKillAndACorruptFileIsSetAside) {
  const std::string state = "StateFile=gone/nodes.state;\n";
  start(f.server, state, "State file gone/nodes.state: none saved yet");
  const std::string odd = "Q\"\\ \x7f\x01";  // quote, backslash, blank, control bytes
  enrol(0, "CALL0");
  ASSERT_TRUE(f.server.wait_for("State file gone/nodes.state cannot be saved: "));
  enrol(1, odd);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // past the once-a-second save
  const std::string out = f.server.out();
  EXPECT_EQ(out.find("cannot be saved"), out.rfind("cannot be saved")) << out;
  std::filesystem::create_directory(f.server.dir() + "/gone");
  enrol(2, "CALL2");
  ASSERT_TRUE(f.server.wait_for("State file gone/nodes.state saved again"));
  f.server.signal(SIGTERM);
  ASSERT_EQ(f.server.wait_exit(), 3);
  drain_all();

  auto next_run = [&](const std::string& state_text, const std::string& ready) {
    auto s = std::make_unique<server_process>();
    std::filesystem::create_directory(s->dir() + "/gone");
    s->write_file("gone/nodes.state", state_text);
    start(*s, state, ready);
    return s;
  };
  auto second = next_run(f.server.read_file("gone/nodes.state"),
                         "State file gone/nodes.state: 3 entries restored, 0 refused");
  EXPECT_EQ(records(), (strings{"ADD  CALL0   ", "ADD  " + odd + "  ", "ADD  CALL2   "}));
  voice(0);  // node 1 is back without registering again
  EXPECT_EQ(received(f.nodes[1], 1).size(), 1u);
  enrol(3, "CALL3");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  second->signal(SIGKILL);
  second->wait_exit();
  drain_all();

  auto third = next_run(second->read_file("gone/nodes.state"),
                        "State file gone/nodes.state: 4 entries restored, 0 refused");
  third->signal(SIGINT);
  third->wait_exit();
  const std::string log = third->read_file("MirxServerLog");
  EXPECT_TRUE(std::regex_search(
      log, std::regex(stamp + " Node IP address restored CALL3    GW       127.0.0.5\n")))
      << log;

  auto fourth = next_run("mirx-server node table 1\n\"A\" \"B\" 1.2.3\n",
                         "unusable (entry 1 unreadable): moved aside to gone/nodes.state.bad-");
  fourth->signal(SIGINT);
  fourth->wait_exit();
  int kept = 0;
  for (const auto& e : std::filesystem::directory_iterator(fourth->dir() + "/gone"))
    kept += e.path().filename().string().rfind("nodes.state.bad-", 0) == 0;
  EXPECT_EQ(kept, 1) << "moved aside, never deleted";
  EXPECT_FALSE(std::filesystem::exists(fourth->dir() + "/gone/nodes.state"))
      << "an empty table changed nothing";
}

// How often `text` appears in what `s` printed.
std::size_t count_of(server_process& s, const std::string& text) {
  const std::string out = s.out();
  std::size_t n = 0;
  for (std::size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
  return n;
}

bool wait_for_count(server_process& s, const std::string& text, std::size_t n) {
  for (int i = 0; i < 600 && count_of(s, text) < n; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return count_of(s, text) >= n;
}

// Whatever the access file turns into, at start-up it admits nobody and at
// run time the rules in force stay, the relay goes on and one line says why.
// In an order where each unreadable kind follows a readable one, so that
// each is said.
TEST_F(controls, HostileAccessFilesFailClosedAndNeverChangeTheRules) {
  using place = std::function<void(const std::string&)>;
  const auto text = [](std::string t) -> place {
    return [t](const std::string& path) { std::ofstream(path, std::ios::binary) << t; };
  };
  struct row {
    const char* kind;
    place make;
    std::string line;
    bool good;
  };
  const std::vector<row> rows = {
      {"fifo", [](const std::string& p) { ::mkfifo(p.c_str(), 0600); },
       "cannot be read: not a regular file", false},
      {"empty", text(""), "access.txt: no rule in the file (write \"allow *\"", false},
      {"directory", [](const std::string& p) { std::filesystem::create_directory(p); },
       "cannot be read: not a regular file", false},
      {"half-written", text("allow CALL*\nallo"), "access.txt line 2: \"allow\" or \"deny\"",
       false},
      {"endless", [](const std::string& p) { std::filesystem::create_symlink("/dev/zero", p); },
       "cannot be read: not a regular file", false},
      {"bad dotted quad", text("allow CALL*\ndeny 127.0.0.*\n"), "line 2: not an IPv4 address",
       false},
      {"oversized", text(std::string(17 << 20, '#') + "\nallow *\n"),
       "cannot be read: larger than 16 MiB", false},
      {"byte-order mark",
       text("\xef\xbb\xbf"
            "allow CALL*\n"),
       "1 rules in force", true},
  };
  const auto put = [](const server_process& s, const row& r) {
    std::filesystem::remove_all(s.dir() + "/access.txt");
    r.make(s.dir() + "/access.txt");
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.kind);
    server_process s;
    put(s, r);
    start(s, "AccessFile=access.txt;\n", r.line);
    f.send(0, nodes::make_registration("CALL0", "GW"));
    EXPECT_EQ(silent(0, 300), !r.good) << "fail closed at start-up";
  }
  f.server.write_file("access.txt", "allow CALL*\n");
  start(f.server, "AccessFile=access.txt;\n", "access.txt read: 1 rules");
  enrol(0, "CALL0");
  enrol(1, "CALL1");
  for (const row& r : rows) {
    SCOPED_TRACE(r.kind);
    const std::size_t before = count_of(f.server, r.line);
    put(f.server, r);
    ASSERT_TRUE(wait_for_count(f.server, r.line, before + 1)) << f.server.out();
    drain_all();
    voice(0);
    EXPECT_EQ(received(f.nodes[1], 1).size(), 1u) << "the relay goes on";
    enrol(2, "CALL2");
    f.send(3, nodes::make_registration("OTHER", "GW"));
    EXPECT_TRUE(silent(3)) << "the rules in force still refuse OTHER";
    EXPECT_EQ(count_of(f.server, r.line), before + 1) << "said once";
  }
}

// Whether `pid` runs the server's own code: its image is the server's (not
// this test's copy before the exec) and it catches some signal (a fresh
// image catches none while the loader runs).
bool runs_own_code(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::error_code ec;
  if (std::filesystem::read_symlink(proc + "/exe", ec) ==
      std::filesystem::read_symlink("/proc/self/exe", ec))
    return false;
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("SigCgt:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16) != 0;
  return false;
}

// logrotate may signal a server that is still starting up.
TEST(ReopenSignal, NeverEndsAServerFromItsFirstStep) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer's runtime catches signals before the server's first step, so "
                  "the start of the server's own code cannot be told";
#endif
  for (int run = 0; run < 50; ++run) {
    server_process s;
    s.write_file("mirx_server.cfg", "InPort=" + std::to_string(free_udp_port()) + ";\n");
    s.start({});
    for (int i = 0; i < 100000 && !runs_own_code(s.pid()); ++i) {
    }
    for (int i = 0; i < 20000 && s.out().find("Not assign the log server") == std::string::npos;
         ++i) {
      s.signal(SIGUSR1);
      ::usleep(100);
    }
    s.signal(SIGINT);
    ASSERT_EQ(s.wait_exit(), 3) << "run " << run << ": " << s.out() << s.err();
  }
}

// A stop while a large table is being restored under a large access file
// still ends the log file properly and leaves the saved table whole.
TEST_F(controls, AStopDuringALongRestoreEndsTheLogAndKeepsTheFile) {
  std::string rules = "allow *\n", state = "mirx-server node table 1\n";
  for (int i = 0; i < 100000; ++i) rules += "deny Q" + std::to_string(i) + "*\n";
  for (int i = 0; i < 30000; ++i)
    state += "\"N" + std::to_string(i) + "\" \"GW\" 10.0." + std::to_string(i / 256) + "." +
             std::to_string(i % 256) + "\n";
  state += "end 30000\n";
  f.server.write_file("access.txt", rules);
  f.server.write_file("nodes.state", state);
  start(f.server, "AccessFile=access.txt;\nStateFile=nodes.state;\n", "access.txt read:");
  f.server.signal(SIGTERM);
  EXPECT_EQ(f.server.wait_exit(), 3);
  const std::string log = f.server.read_file("MirxServerLog");
  EXPECT_TRUE(std::regex_search(log, std::regex("\nlog end " + stamp + "\n$")))
      << log.substr(log.size() > 300 ? log.size() - 300 : 0);
  EXPECT_EQ(f.server.read_file("nodes.state"), state);
}

TEST_F(controls, ASilentEntryIsRemovedAsByADisconnectAndASendingOneKept) {
  start(f.server, "NodeIdleTimeout=2;\n", "");
  enrol(0, "CALL0");
  enrol(1, "CALL1");
  drain_all();
  for (int i = 0; i < 16; ++i) {
    voice(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  EXPECT_TRUE(f.server.wait_for("Deleted from table: GW       CALL1   \n")) << f.server.out();
  EXPECT_EQ(records(), strings{"DEL  CALL1   "});
  drain_all();
  voice(0);
  EXPECT_TRUE(silent(1)) << "CALL1 gets nothing more";
  const std::string log = f.stop_and_read_log();
  EXPECT_NE(log.find("Deleted from table: GW       CALL1   \n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Deleted from table: GW       CALL0"), std::string::npos) << log;
}

}  // namespace
}  // namespace mirx::e2e
