// FastRelay=ON changes what the relay costs, never what it does: one scripted
// conference run with it off and on (and with io_uring refused) must print,
// log, report and send exactly the same.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>
#include <tuple>

#include "e2e/server_process.h"
#include "nodelib/packets.h"

namespace mirx::e2e {
namespace {

constexpr int listeners = 4;  // nodes 0..3 at 127.0.0.2 .. 127.0.0.5
const char* const closed_address = "127.0.0.8";
const char* const log_server_address = "127.0.0.9";

// Everything a run shows to the outside, time stamps taken out.
struct run_output {
  std::string console, log;
  std::vector<bytes> records;
  std::vector<std::vector<bytes>> at_node;
  bool one_port = true;    // each node heard everything from one port of the server
  bool ring_open = false;  // the server held an io_uring
};

// The debug echo of the configuration names FastRelay and each run's ports.
std::string without_stamps_and_echo(const std::string& text) {
  static const std::regex stamps(stamp), echo("FastRelay : [A-Z]+\n"), ports("(Port : )[0-9]+\n");
  std::string t = std::regex_replace(text, echo, "");
  t = std::regex_replace(t, ports, "$1P\n");
  return std::regex_replace(t, stamps, "TS");
}

bool holds_io_uring(pid_t pid) {
  std::error_code ec;
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& e : std::filesystem::directory_iterator(fds, ec))
    if (std::filesystem::read_symlink(e.path(), ec).string() == "anon_inode:[io_uring]")
      return true;
  return false;
}

// In-port bound: the server is up; whatever is sent now waits in its queue.
bool wait_bound(std::uint16_t port) {
  for (int i = 0; i < 500; ++i) {
    if (!nodes::udp_endpoint::bind("0.0.0.0", port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void stream(conference_fixture& f, int from, std::uint16_t id, int frames) {
  nodes::header_fields h;
  h.my_call = "SPK" + std::to_string(from);
  f.send(from, nodes::make_header(h, id));
  for (int i = 0; i < frames; ++i) {
    const auto seq = static_cast<std::uint16_t>(i + 1 == frames ? i | 0x40 : i);
    f.send(from, nodes::make_voice(seq, {static_cast<std::uint8_t>(i), 0x11, 0x22}, id));
  }
}

// Registrations (one from a node whose port is then closed), two streams
// interleaved, a disconnect, the first stream's end, all sent at once: the
// server takes them in this order from its one receive queue.
void script(conference_fixture& f) {
  for (int i = 0; i < listeners; ++i)
    f.send(i, nodes::make_registration("CALL" + std::to_string(i), "GW"));
  {
    auto gone = nodes::udp_endpoint::bind(closed_address, 0);
    ASSERT_TRUE(gone);
    const auto request = nodes::make_registration("CLOSED", "GW");
    gone->send_to(request.data(), request.size(), f.server_ip, f.in_port);
  }
  stream(f, 0, 0x1111, 3);
  stream(f, 1, 0x2222, 4);
  const bytes disconnect(16, 0);
  f.send(2, disconnect);
  stream(f, 0, 0x3333, 5);
}

run_output scripted_run(const std::string& flag, const std::string& fast_relay,
                        bool refuse_io_uring) {
  conference_fixture f(listeners);
  auto log_server = nodes::udp_endpoint::bind(log_server_address, 0);
  if (!log_server) throw std::runtime_error("no log server endpoint");
  f.server.write_file("mirx_server.cfg", f.config() + "LogServer=" + log_server_address +
                                             ";\nLogPort=" + std::to_string(log_server->port()) +
                                             ";\n" + fast_relay);
  if (refuse_io_uring)
    f.server.start_program(MIRX_NO_IO_URING_PATH, {MIRX_SERVER_PATH, flag});
  else
    f.server.start({flag});
  run_output r;
  if (!wait_bound(f.in_port)) throw std::runtime_error("server did not bind: " + f.server.out());
  script(f);
  // Once the first node has heard nothing for a while the server is idle,
  // and everything else has arrived too.
  for (const auto& n : f.nodes) {
    r.at_node.emplace_back();
    const auto got = n.drain(r.at_node.size() == 1 ? 400 : 30);
    for (const auto& d : got) {
      r.one_port = r.one_port && d.from_port == got.front().from_port;
      r.at_node.back().push_back(d.bytes);
    }
  }
  for (auto& d : log_server->drain(30)) r.records.push_back(std::move(d.bytes));
  r.ring_open = holds_io_uring(f.server.pid());
  r.log = without_stamps_and_echo(f.stop_and_read_log());
  r.console = without_stamps_and_echo(f.server.out());
  return r;
}

// Everything a run showed, to be compared at once.
auto seen(const run_output& r) {
  return std::tie(r.console, r.log, r.records, r.at_node);
}

// With no setting or OFF alike the server holds no io_uring; with io_uring
// refused it says so in one line and relays as with it off.
TEST(FastRelay, ScriptedRunIsIdenticalWithItOffRefusedAndOn) {
  const std::string refusal =
      "FastRelay=ON: io_uring refused (Operation not permitted), relaying as with "
      "FastRelay=OFF\n";
  for (const auto& [flag, off_setting] : {std::pair{"-i", ""}, {"-d", "FastRelay=OFF;\n"}}) {
    SCOPED_TRACE(flag);
    const run_output off = scripted_run(flag, off_setting, false);
    run_output refused = scripted_run(flag, "FastRelay=ON;\n", true);
    const std::size_t at = refused.console.find(refusal);
    ASSERT_NE(at, std::string::npos) << refused.console;
    refused.console.erase(at, refusal.size());
    EXPECT_EQ(seen(refused), seen(off));

    const run_output on = scripted_run(flag, "FastRelay=ON;\n", false);
    if (on.console.find("FastRelay=ON: io_uring refused") != std::string::npos)
      GTEST_SKIP() << "io_uring is refused here: " << on.console;
    EXPECT_TRUE(on.ring_open);
    EXPECT_FALSE(off.ring_open);
    EXPECT_TRUE(on.one_port && off.one_port);
    // Registration replies, both streams, the acknowledgements: a run that
    // relayed nothing would compare equal too.
    EXPECT_GE(off.at_node[3].size(), 1u + 4u + 5u + 6u);
    EXPECT_NE(off.console.find("Send DV Packet to CLOSED"), std::string::npos);
    EXPECT_EQ(seen(on), seen(off));
  }
}

}  // namespace
}  // namespace mirx::e2e
