// The records the real binary sends to its log server, the log-server
// messages of start-up, and mirx_logrx showing the records of a real run.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>

#include "e2e/server_process.h"
#include "nodelib/packets.h"

namespace mirx::e2e {
namespace {

using namespace std::string_literals;

// The local ports of the UDP sockets that process `pid` holds. A UDP socket
// gets a port when it is bound or sends its first datagram, so an unused
// log_socket is not among them.
std::set<std::uint16_t> udp_ports_of(pid_t pid) {
  std::set<std::string> inodes;
  const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator(fd_dir, ec)) {
    const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
    if (target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
  }
  std::set<std::uint16_t> ports;
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // column names
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    if (inodes.count(inode) != 0)
      ports.insert(
          static_cast<std::uint16_t>(std::stoul(local.substr(local.find(':') + 1), 0, 16)));
  }
  return ports;
}

// Starts the server of `f`. With a log server configured nothing is printed
// once start-up is done, so readiness is its InPort being bound: datagrams
// sent from then on wait in the socket until the loop reads them.
void start_with_log_server(conference_fixture& f, const std::string& extra_config) {
  f.server.write_file("mirx_server.cfg", f.config() + extra_config);
  f.server.start({});
  for (int i = 0; i < 500; ++i) {
    if (udp_ports_of(f.server.pid()).count(f.in_port) != 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  FAIL() << "server did not bind its InPort: " << f.server.out() << f.server.err();
}

std::string log_config(std::uint16_t port) {
  return "LogServer=127.0.0.1;\nLogPort=" + std::to_string(port) + ";\n";
}

// A call-sign field: the text, zero-filled to 8 bytes.
std::string field(const std::string& text) {
  std::string f = text;
  f.resize(8, '\0');
  return f;
}

const std::string none = field("");  // the call1, call2 of an unregistered sender

std::string acc(const std::string& call1, const std::string& call2, const std::string& my_call) {
  return "ACC \0\0\0\0"s + call1 + call2 + my_call;
}

std::string node_event(const char* tag, const std::string& call1, const std::string& call2,
                       int last_octet) {
  return std::string(tag) + "\0\0\0\0"s + call1 + call2 + "\x7f\0\0"s +
         static_cast<char>(last_octet) + "\0\0\0\0"s;
}

// A conference with three nodes (127.0.0.2, .3, .4) and a log-server
// receiver on 127.0.0.1.
class log_records : public ::testing::Test {
 protected:
  conference_fixture f{3};
  nodes::udp_endpoint receiver = *nodes::udp_endpoint::bind("127.0.0.1", 0);
  std::uint16_t out_socket_port = 0;
  std::set<std::uint16_t> record_ports;

  // Registers and waits for the reply, skipping whatever else the node has
  // been sent meanwhile.
  void enrol(int node, const std::string& call1, const std::string& call2) {
    f.send(node, nodes::make_registration(call1, call2));
    for (int i = 0; i < 200; ++i) {
      auto d = f.nodes[static_cast<std::size_t>(node)].receive(2000);
      ASSERT_TRUE(d) << "no reply to " << call1;
      if (d->bytes.size() != reply::size) continue;
      out_socket_port = d->from_port;
      return;
    }
    FAIL() << "no reply to " << call1;
  }
  void header(int node, const std::string& my_call) {
    nodes::header_fields h;
    h.my_call = my_call;
    f.send(node, nodes::make_header(h));
  }
  void disconnect(int node) { f.send(node, std::vector<std::uint8_t>(disc::size, 0)); }
  // The next record must be `want`, byte for byte.
  void expect_record(const std::string& want) {
    auto d = receiver.receive(2000);
    ASSERT_TRUE(d) << "no record; wanted " << want.substr(0, 4);
    EXPECT_EQ(std::string(d->bytes.begin(), d->bytes.end()), want);
    EXPECT_EQ(d->from_ip, f.server_ip);
    record_ports.insert(d->from_port);
  }
};

TEST_F(log_records, OneRecordPerHeaderAdditionAndRemovalAndNoneOtherwise) {
  ASSERT_NO_FATAL_FAILURE(start_with_log_server(f, log_config(receiver.port())));
  header(0, "JA1XYZ");  // empty table
  expect_record(acc(none, none, "JA1XYZ  "));

  enrol(0, "JA1AAA", "GW A");
  expect_record(node_event("ADD ", "JA1AAA  ", "GW A    ", 2));
  enrol(0, "JA1AAA", "GW A");   // repeated: nothing
  enrol(0, "JA1AAA", "OTHER");  // same address, another call2: nothing, call2 kept
  enrol(1, "JA1BBB", "GW B");
  expect_record(node_event("ADD ", "JA1BBB  ", "GW B    ", 3));
  enrol(2, "JA1BBB", "GW C");  // moves to 127.0.0.4: nothing
  enrol(0, "AB\0CD"s, "X");    // a second node behind 127.0.0.2
  expect_record(node_event("ADD ", field("AB"), "X       ", 2));

  header(0, "SPEAKER");  // the last entry at the sender's address names it
  expect_record(acc(field("AB"), "X       ", "SPEAKER "));
  header(2, "MY\0CALLX"s);  // the moved entry, with its new call2
  expect_record(acc("JA1BBB  ", "GW C    ", field("MY")));
  header(1, "NOBODY");  // 127.0.0.3 has no entry since the move
  expect_record(acc(none, none, "NOBODY  "));

  f.send(0, nodes::make_voice(0, {0x11, 0x22, 0x33}));
  disconnect(1);  // no entry at 127.0.0.3: nothing
  disconnect(0);
  expect_record(node_event("DEL ", "JA1AAA  ", "GW A    ", 2));
  disconnect(0);
  expect_record(node_event("DEL ", field("AB"), "X       ", 2));
  disconnect(2);
  expect_record(node_event("DEL ", "JA1BBB  ", "GW C    ", 4));
  disconnect(2);
  header(1, "LAST");  // empty table again
  expect_record(acc(none, none, "LAST    "));
  EXPECT_TRUE(receiver.drain(300).empty());

  // Every record came from one socket that is neither InPort nor out_socket.
  ASSERT_EQ(record_ports.size(), 1u);
  EXPECT_NE(*record_ports.begin(), f.in_port);
  EXPECT_NE(*record_ports.begin(), out_socket_port);
  EXPECT_EQ(udp_ports_of(f.server.pid()).size(), 3u);
}

TEST_F(log_records, WithoutLogServerNothingLeavesTheLogSocket) {
  f.start({}, "LogPort=" + std::to_string(receiver.port()) + ";\n");
  enrol(0, "JA1AAA", "GW A");
  header(0, "JA1XYZ");
  header(1, "NOBODY");
  disconnect(0);
  enrol(1, "JA1BBB", "GW B");  // the last datagram has been handled
  EXPECT_TRUE(receiver.drain(300).empty());
  // in_socket and out_socket have ports; log_socket never sent anything.
  EXPECT_EQ(udp_ports_of(f.server.pid()), (std::set<std::uint16_t>{f.in_port, out_socket_port}));
  const std::string out = f.server.out();
  EXPECT_EQ(out.find("Not assign the log server!!\n"), out.rfind("Not assign the log server!!\n"));
}

// A name or a dotted address (log_records uses one at its exact port); the
// port is LogPort's low 16 bits.
TEST(LogServerAddress, NameOrDottedAddressAtTheLow16BitsOfLogPort) {
  struct row {
    std::string server;
    long port_offset;
  };
  for (const row& r : std::vector<row>{{"localhost", 65536}, {"127.0.0.1", -65536}}) {
    conference_fixture f(1);
    auto receiver = *nodes::udp_endpoint::bind("127.0.0.1", 0);
    ASSERT_NO_FATAL_FAILURE(start_with_log_server(
        f, "LogServer=" + r.server +
               ";\nLogPort=" + std::to_string(receiver.port() + r.port_offset) + ";\n"));
    nodes::header_fields h;
    h.my_call = "JA1XYZ";
    f.send(0, nodes::make_header(h));
    auto d = receiver.receive(3000);
    ASSERT_TRUE(d) << r.server << " " << r.port_offset;
    EXPECT_EQ(std::string(d->bytes.begin(), d->bytes.end()), acc(none, none, "JA1XYZ  "));
    EXPECT_EQ(f.server.out().find("og server"), std::string::npos) << f.server.out();
  }
}

TEST(LogServerAddress, UnknownNameEndsTheRunWithStatus1BeforeTheLoop) {
  server_process s;
  s.write_file("mirx_server.cfg",
               "InPort=" + std::to_string(free_udp_port()) + ";\nLogServer=mirx-log.invalid;\n");
  // In a network of its own the lookup cannot send a query anywhere.
  s.start_program(MIRX_SERVER_PATH, {}, true);
  EXPECT_EQ(s.wait_exit(20000), 1);
  if (std::filesystem::exists(s.dir() + "/no-namespace"))
    std::cout << "note: no network namespace here; the lookup ran in the host's network\n";
  EXPECT_TRUE(
      std::regex_search(s.out(), std::regex("Start Time " + stamp + "\nLog Server Not Found\n$")))
      << s.out();
  EXPECT_EQ(s.err(), "");
  const std::string log = s.read_file("MirxServerLog");
  EXPECT_TRUE(std::regex_match(log, std::regex("log start " + stamp + "\n"))) << log;
}

// Starts mirx_logrx on 127.0.0.1 at a port of its choosing with `args`
// appended, through `shell` when given (a sh -c script that ends by running
// "$0" "$@"); the port it listens on, or 0 when it said none.
std::uint16_t start_logrx(server_process& logrx, const std::vector<std::string>& args,
                          const std::string& shell = "") {
  std::vector<std::string> words = {"--bind", "127.0.0.1", "--port", "0"};
  words.insert(words.end(), args.begin(), args.end());
  if (shell.empty()) {
    logrx.start_program(MIRX_LOGRX_PATH, words);
  } else {
    words.insert(words.begin(), {"-c", shell, MIRX_LOGRX_PATH});
    logrx.start_program("/bin/sh", words);
  }
  const std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)\n");
  std::string err;
  std::smatch port;
  for (int i = 0; i < 500 && !std::regex_search(err = logrx.err(), port, listening); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return port.empty() ? 0 : static_cast<std::uint16_t>(std::stoi(port[1]));
}

TEST(Logrx, ShowsTheRecordsOfARealRun) {
  server_process logrx;
  const std::uint16_t port = start_logrx(logrx, {"--count", "3", "--timeout", "30"});
  ASSERT_NE(port, 0) << logrx.err();
  conference_fixture f(1);
  ASSERT_NO_FATAL_FAILURE(start_with_log_server(f, log_config(port)));
  f.send(0, nodes::make_registration("JA1AAA", "GW\"A"));
  nodes::header_fields h;
  h.my_call = "JA1XYZ";
  f.send(0, nodes::make_header(h));
  f.send(0, std::vector<std::uint8_t>(disc::size, 0));
  ASSERT_EQ(logrx.wait_exit(10000), 0);
  const std::string calls = "call1=\"JA1AAA  \" call2=\"GW\\\\x22A    \"";
  EXPECT_TRUE(std::regex_match(
      logrx.out(),
      std::regex(stamp + " ADD " + calls + " ip=127\\.0\\.0\\.2\n" + stamp + " ACC " + calls +
                 " my_call=\"JA1XYZ  \"\n" + stamp + " DEL " + calls + " ip=127\\.0\\.0\\.2\n")))
      << logrx.out();
}

// An interrupt or a stop request ends a run cleanly, with status 0 and every
// line printed so far, also when the shell that started it in the background
// had set SIGINT to be ignored.
TEST(Logrx, InterruptAndTerminateEndTheRunWithStatus0) {
  struct stop_case {
    const char* name;
    int sig;
    std::string shell;
  };
  const stop_case cases[] = {
      {"SIGINT", SIGINT, ""},
      {"SIGTERM", SIGTERM, ""},
      {"SIGINT, started with SIGINT ignored", SIGINT, "trap '' INT; exec \"$0\" \"$@\""},
  };
  const auto sender = nodes::udp_endpoint::bind("127.0.0.2", 0);
  ASSERT_TRUE(sender);
  for (const stop_case& c : cases) {
    SCOPED_TRACE(c.name);
    server_process logrx;
    const std::uint16_t port = start_logrx(logrx, {}, c.shell);
    ASSERT_NE(port, 0) << logrx.err();
    sender->send_to("x", 1, *parse_ipv4("127.0.0.1"), port);
    ASSERT_TRUE(logrx.wait_for("not a record")) << logrx.out();
    logrx.signal(c.sig);
    EXPECT_EQ(logrx.wait_exit(3000), 0) << logrx.err();
    EXPECT_NE(logrx.out().find("from 127.0.0.2:"), std::string::npos) << logrx.out();
  }
}

}  // namespace
}  // namespace mirx::e2e
