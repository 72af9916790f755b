// Start-up, command line, datagram recognition and stop of the real binary.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <regex>

#include "e2e/server_process.h"
#include "nodelib/packets.h"

namespace mirx::e2e {
namespace {

const std::string usage =
    "Usage:\nnode [-d] [-i] [-f config_file]\n -d : debug\n -i : information\n"
    " -f config_file : configure\n";

TEST(CommandLine, UsageIsAllThatIsPrintedWhereverTheQuestionMarkStands) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"-?"}, {"-d", "-?"}, {"-?", "-d"}, {"-i", "-f", "x.cfg", "-?help"}}) {
    server_process s;
    s.start(args);
    EXPECT_EQ(s.wait_exit(), 0);
    EXPECT_EQ(s.out(), usage);
    EXPECT_EQ(s.err(), "");
    EXPECT_EQ(s.read_file("MirxServerLog"), "");  // nothing else was done
  }
}

TEST(CommandLine, ConfigFileChoiceAndSwitches) {
  struct row {
    std::vector<std::string> args;
    std::string log_name;  // tells which configuration file was read
    bool debug_line;
  };
  const std::vector<row> rows = {
      {{"-f", "a.cfg"}, "a.log", false},
      {{"-f", "a.cfg", "-f", "b.cfg"}, "b.log", false},
      {{"-f", "-d"}, "d.log", true},  // the file named -d, and debug on
      {{"-i", "-f"}, "default.log", false},
      {{"-f", "missing.cfg", "-debug"}, "default.log", true},
      {{"-D", "d", "-information"}, "default.log", false},
  };
  for (const row& r : rows) {
    server_process s;
    const std::string port = "InPort=" + std::to_string(free_udp_port()) + ";\n";
    s.write_file("a.cfg", port + "LogFileName=a.log;\n");
    s.write_file("b.cfg", port + "LogFileName=b.log;\n");
    s.write_file("-d", port + "LogFileName=d.log;\n");
    s.write_file("mirx_server.cfg", port + "LogFileName=default.log;\n");
    s.start(r.args);
    ASSERT_TRUE(s.wait_for("Not assign the log server!!\n")) << s.out();
    s.signal(SIGINT);
    EXPECT_EQ(s.wait_exit(), 3);
    EXPECT_EQ(s.read_file(r.log_name).substr(0, 10), "log start ") << r.args[0] << r.log_name;
    EXPECT_EQ(s.out().find("debug mode") != std::string::npos, r.debug_line) << s.out();
    EXPECT_EQ(s.out().find("open error"), std::string::npos) << s.out();
  }
}

TEST(Startup, ConsoleOrderAndLogFileStart) {
  server_process s;
  const std::uint16_t port = free_udp_port();
  s.write_file("mirx_server.cfg", "InPort=" + std::to_string(port) + ";\nbogus line;\n");
  s.start({"-d"});
  ASSERT_TRUE(s.wait_for("Not assign the log server!!\n"));
  const std::regex expected(
      " D-STAR mirx  Server Program V00\\.01 09/24/2011\n"
      "[^\n]+\n"
      "              Start Time " +
      stamp +
      "\n"
      "                                       debug mode\n"
      "\n\\*\\*\\* Debug on Config File\n"
      "InPort : " +
      std::to_string(port) +
      "\n"
      "Config file error : bogus line;\n\n\n"
      "\\*\\*\\* Debug Exit\n\n"
      "Not assign the log server!!\n");
  EXPECT_TRUE(std::regex_match(s.out(), expected)) << s.out();
  s.signal(SIGTERM);
  EXPECT_EQ(s.wait_exit(), 3);
  EXPECT_TRUE(std::regex_match(s.read_file("MirxServerLog"),
                               std::regex("log start " + stamp + "\nlog end " + stamp + "\n")));
}

TEST(Startup, UnopenableLogFileIsReportedAndTheServerRuns) {
  server_process s;
  s.write_file("mirx_server.cfg",
               "InPort=" + std::to_string(free_udp_port()) + ";\nLogFileName=no/such/dir/log;\n");
  s.start({});
  ASSERT_TRUE(s.wait_for("log file(no/such/dir/log) open error\nNot assign the log server!!\n"))
      << s.out();
  s.signal(SIGINT);
  EXPECT_EQ(s.wait_exit(), 3);
}

TEST(Stop, EverySignalOfTheConsoleEndsWithTheEndLines) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    server_process s;
    s.write_file("mirx_server.cfg", "InPort=" + std::to_string(free_udp_port()) + ";\n");
    s.start({});
    ASSERT_TRUE(s.wait_for("Not assign the log server!!\n"));
    s.signal(sig);
    EXPECT_EQ(s.wait_exit(), 3) << sig;
    EXPECT_TRUE(std::regex_search(s.out(), std::regex("\nEnd " + stamp + "\n$"))) << s.out();
    EXPECT_EQ(s.err(), "\r\nAbnormal program termination\r\n");
    const std::string log = s.read_file("MirxServerLog");
    EXPECT_TRUE(std::regex_search(log, std::regex("\nlog end " + stamp + "\n$"))) << log;
  }
}

TEST(Stop, ASignalDuringStartUpStillEndsWithStatus3) {
  server_process s;
  // Opening a FIFO blocks until a writer comes: start-up waits in the
  // configuration step, before the log file is opened.
  ASSERT_EQ(::mkfifo((s.dir() + "/slow.cfg").c_str(), 0600), 0);
  s.start({"-f", "slow.cfg"});
  ASSERT_TRUE(s.wait_for("Start Time"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  s.signal(SIGINT);
  EXPECT_EQ(s.wait_exit(), 3);
  EXPECT_TRUE(std::regex_search(s.out(), std::regex("End " + stamp + "\n$"))) << s.out();
  EXPECT_EQ(s.err(), "\r\nAbnormal program termination\r\n");
  EXPECT_EQ(s.read_file("MirxServerLog"), "");  // never opened, so no "log end"
}

TEST(Stop, SecondServerOnTheSamePortFailsLoudly) {
  server_process first, second;
  const std::string cfg = "InPort=" + std::to_string(free_udp_port()) + ";\n";
  first.write_file("mirx_server.cfg", cfg);
  second.write_file("mirx_server.cfg", cfg);
  first.start({});
  ASSERT_TRUE(first.wait_for("Not assign the log server!!\n"));
  second.start({});
  EXPECT_EQ(second.wait_exit(), 3);
  EXPECT_NE(second.out().find("in sock bind error " + cfg.substr(7, cfg.size() - 9) +
                              " : Address already in use\n"),
            std::string::npos)
      << second.out();
  EXPECT_EQ(second.err(), "\r\nAbnormal program termination\r\n");
}

TEST(Dispatch, DatagramsOfEveryLengthAreTakenOrDroppedSafely) {
  conference_fixture f(1);
  f.start({"-d"});
  const nodes::udp_endpoint& node = f.nodes[0];
  std::vector<std::uint8_t> junk(61, 0xAB);
  for (std::size_t len = 0; len <= 60; ++len) {
    if (len == 40) continue;
    f.send(0, junk.data(), len);
  }
  // Only the 56-byte datagram was a header: its acknowledgement and nothing
  // for 57 bytes or more.
  const auto got = received(node, 12);
  ASSERT_EQ(got.size(), 12u);
  EXPECT_EQ(got[0].size(), 56u);

  auto lower = nodes::make_registration("LOWER", "x", "rs");
  f.send(0, lower);
  EXPECT_FALSE(node.receive(300));  // traced, but not accepted
  auto upper = nodes::make_registration("UPPER", "x", "SI");
  f.send(0, upper);
  auto reply = node.receive(2000);
  ASSERT_TRUE(reply);
  EXPECT_EQ(std::string(reply->bytes.begin(), reply->bytes.begin() + 2), "SA");

  ASSERT_TRUE(f.server.wait_for("req_id SI"));
  const std::string out = f.server.out();
  const std::regex trace(stamp +
                         " packet from 127\\.0\\.0,2  length 40 req_id (..) ver: V01\\.02 "
                         "Firmware: V0a\\.0b\n");
  std::vector<std::string> ids;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), trace); it != std::sregex_iterator();
       ++it)
    ids.push_back((*it)[1]);
  EXPECT_EQ(ids, (std::vector<std::string>{"rs", "SI"})) << out;
}

// With InPort equal to OutPort, what the server sends to this machine comes
// back to its own InPort: it says so once at start, and one header costs one
// acknowledgement and one record, never an endless loop.
TEST(OwnDatagrams, EqualInAndOutPortsNeverMakeTheServerTalkToItself) {
  const std::uint16_t port = free_udp_port();
  const auto logrx = *nodes::udp_endpoint::bind("127.0.0.1", 0);
  server_process s;
  s.write_file("mirx_server.cfg",
               "InPort=" + std::to_string(port) + ";\nOutPort=" + std::to_string(port) +
                   ";\nLogServer=127.0.0.1;\nLogPort=" + std::to_string(logrx.port()) + ";\n");
  s.start({});
  ASSERT_TRUE(s.wait_for("InPort and OutPort are both " + std::to_string(port) +
                         ": no node on this machine can listen there; what is sent to this "
                         "machine's own addresses comes back and is dropped\n"))
      << s.out();
  const auto sender = *nodes::udp_endpoint::bind("127.0.0.2", 0);
  nodes::header_fields h;
  h.my_call = "LOOPER";
  const auto header = nodes::make_header(h);
  ASSERT_TRUE(sender.send_to(header.data(), header.size(), address_of(127, 0, 0, 1), port));
  const auto records = logrx.drain(1000, 1000);
  EXPECT_EQ(records.size(), 1u);
  s.signal(SIGINT);
  EXPECT_EQ(s.wait_exit(), 3);
}

}  // namespace
}  // namespace mirx::e2e
