// The operator controls through the real binary: the access list and its
// reloads, the closed relay, the table limit, the table kept across a stop
// and a kill, the log file without voice lines and reopened on SIGUSR1.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
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

}  // namespace
}  // namespace mirx::e2e
