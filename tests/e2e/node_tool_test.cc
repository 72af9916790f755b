// The node tool against the real server: listeners hear a transmission with
// its call sign, text message, position and frame count; the transmitter is
// told whether anybody heard it; failures end with a message and a status.

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>

#include "e2e/server_process.h"

namespace mirx::e2e {
namespace {

// A server on its own ports with no node bound yet: the tools bind the
// OutPort themselves, each on an address of its own.
struct tool_fixture {
  conference_fixture conf{0};
  tool_fixture() {
    conf.out_port = free_udp_port();
    conf.start({"-i"});
  }

  std::vector<std::string> args(const std::string& command, const std::string& bind,
                                std::vector<std::string> more) const {
    more.insert(more.begin(), {command, "--server", "127.0.0.1", "--bind", bind});
    more.insert(more.end(), {"--in-port", std::to_string(conf.in_port)});
    more.insert(more.end(), {"--out-port", std::to_string(conf.out_port)});
    return more;
  }

  std::unique_ptr<server_process> run(const std::vector<std::string>& a) const {
    auto p = std::make_unique<server_process>();
    p->start_program(MIRX_NODE_PATH, a);
    return p;
  }
};

TEST(NodeTool, ListenersHearTheTransmissionAndTheTransmitterIsToldItWasDelivered) {
  tool_fixture f;
  std::vector<std::unique_ptr<server_process>> listeners;
  for (int i : {1, 2}) {
    const std::string call = "LSTN" + std::to_string(i);
    listeners.push_back(f.run(
        f.args("listen", "127.0.0." + std::to_string(1 + i), {"--call1", call, "--call2", "GW"})));
    ASSERT_TRUE(listeners.back()->wait_for("registered \"" + call + "\""))
        << listeners.back()->err();
  }

  // At the real pace: 30 frames take 0.6 s.
  auto tx = f.run(f.args("transmit", "127.0.0.4",
                         {"--my-call", "SPEAKER", "--text", "Hello conference", "--position",
                          "!4903.50N/07201.75W-", "--frames", "30"}));
  EXPECT_EQ(tx->wait_exit(10000), 0) << tx->err();
  EXPECT_NE(tx->out().find("sent header and 30 voice packets as \"SPEAKER \""), std::string::npos);
  EXPECT_NE(tx->out().find("acknowledgement: delivered, text message \"Conference heard you\""),
            std::string::npos)
      << tx->out();

  for (auto& l : listeners) {
    ASSERT_TRUE(
        l->wait_for("end of stream from \"SPEAKER \": 30 voice packets\n"
                    "  text message \"Hello conference    \"\n"
                    "  position \"!4903.50N/07201.75W-\"\n"))
        << l->out();
    EXPECT_NE(l->out().find("header: my_call \"SPEAKER \" suffix \"    \" your_call \"CQCQCQ  \""),
              std::string::npos);
  }

  // Ctrl-C: each listener takes its node off the server and ends cleanly.
  for (auto& l : listeners) l->signal(SIGINT);
  for (auto& l : listeners) {
    EXPECT_EQ(l->wait_exit(5000), 0) << l->err();
    EXPECT_NE(l->out().find("disconnected \""), std::string::npos);
  }
  EXPECT_TRUE(f.conf.server.wait_for("Deleted from table: GW       LSTN1   \n"));
  EXPECT_TRUE(f.conf.server.wait_for("Deleted from table: GW       LSTN2   \n"));
}

// The transmitter's own registration does not count as a listener, and it
// is taken back afterwards, as `disconnect` takes back one left by `register`.
TEST(NodeTool, WithNobodyListeningTheTransmitterIsToldNotDeliveredAndLeavesNoEntry) {
  tool_fixture f;
  auto tx =
      f.run(f.args("transmit", "127.0.0.4",
                   {"--call1", "TX1", "--my-call", "SPEAKER", "--frames", "5", "--flat-out"}));
  EXPECT_EQ(tx->wait_exit(10000), 3) << tx->err();
  EXPECT_NE(tx->out().find("registered \"TX1\""), std::string::npos) << tx->out();
  EXPECT_NE(tx->out().find("acknowledgement: not delivered, text message \"No node heard you   \"\n"
                           "disconnected \"TX1\""),
            std::string::npos)
      << tx->out();
  EXPECT_TRUE(f.conf.server.wait_for("Deleted from table: MIRXNODE TX1     \n"));

  EXPECT_EQ(f.run(f.args("register", "127.0.0.5", {"--call1", "REG1"}))->wait_exit(5000), 0);
  auto disc = f.run(f.args("disconnect", "127.0.0.5", {}));
  EXPECT_EQ(disc->wait_exit(5000), 0) << disc->err();
  EXPECT_NE(disc->out().find("sent disconnect from 127.0.0.5:"), std::string::npos);
  EXPECT_TRUE(f.conf.server.wait_for("Deleted from table: MIRXNODE REG1    \n"))
      << f.conf.server.out();
}

TEST(NodeTool, FailuresEndWithAMessageAndAStatus) {
  // A server that never answers; holding its port keeps other tests off it.
  auto silent = nodes::udp_endpoint::bind("127.0.0.1", 0);
  ASSERT_TRUE(silent);
  const std::uint16_t nobody = silent->port();
  const std::uint16_t out_port = free_udp_port();
  const std::string in_use_at = std::to_string(out_port);
  auto occupant = nodes::udp_endpoint::bind("127.0.0.5", out_port);
  ASSERT_TRUE(occupant);
  const std::vector<std::string> common = {
      "--server",   "127.0.0.1", "--in-port", std::to_string(nobody),
      "--out-port", in_use_at,   "--timeout", "0.3"};
  const struct {
    std::vector<std::string> args;
    int status;
    std::string message;
  } cases[] = {
      {{"register", "--call1", "TOOLONGCALL", "--bind", "127.0.0.6"},
       2,
       "mirx_node: call sign \"TOOLONGCALL\" (--call1) is longer than 8 bytes\n"},
      {{"listen", "--call1", "N0CALL", "--bind", "127.0.0.5"},
       1,
       "mirx_node: cannot bind 127.0.0.5:" + in_use_at + ": Address already in use\n"},
      {{"register", "--call1", "N0CALL", "--bind", "127.0.0.6"},
       1,
       "mirx_node: no registration reply from 127.0.0.1:" + std::to_string(nobody) +
           " within 0.3 s\n"},
      {{"transmit", "--my-call", "N0CALL", "--bind", "127.0.0.6", "--frames", "2", "--flat-out"},
       1,
       "mirx_node: no acknowledgement from 127.0.0.1:" + std::to_string(nobody) +
           " within 0.3 s\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> a = c.args;
    a.insert(a.end(), common.begin(), common.end());
    server_process p;
    p.start_program(MIRX_NODE_PATH, a);
    EXPECT_EQ(p.wait_exit(10000), c.status) << c.message;
    EXPECT_EQ(p.err().substr(0, c.message.size()), c.message);
  }
}

}  // namespace
}  // namespace mirx::e2e
