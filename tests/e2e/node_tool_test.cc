// The node tool against the real server: listeners hear a transmission with
// its call sign, text message, position and frame count; the transmitter is
// told whether anybody heard it; failures end with a message and a status.

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "dextra/dsvt.h"
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

// A DExtra reflector in miniature: it refuses module Z, ignores module Q,
// accepts the rest with one keepalive, relays DSVT to its other clients and
// records all it receives.
struct mini_reflector {
  nodes::udp_endpoint endpoint = *nodes::udp_endpoint::bind("127.0.0.31", 0);
  std::string at = "127.0.0.31:" + std::to_string(endpoint.port());
  std::mutex lock;
  std::vector<nodes::datagram> received;
  std::atomic<bool> stop{false};
  std::thread serving{[this] { serve(); }};

  ~mini_reflector() {
    stop = true;
    serving.join();
  }

  void serve() {
    std::vector<nodes::datagram> clients;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!stop && std::chrono::steady_clock::now() < end) {
      const auto d = endpoint.receive(20);
      if (!d) continue;
      std::lock_guard<std::mutex> hold(lock);
      received.push_back(*d);
      const auto send = [&](const std::uint8_t* p, std::size_t n, const nodes::datagram& to) {
        endpoint.send_to(p, n, to.from_ip, to.from_port);
      };
      const std::uint8_t* p = d->bytes.data();
      const dextra::kind k = dextra::kind_of(p, d->bytes.size());
      if (k == dextra::kind::link && p[dextra::ctl::asked_module] != 'Q') {
        std::uint8_t answer[dextra::ctl::answer_size], keepalive[dextra::ctl::keepalive_size];
        const bool accepted = p[dextra::ctl::asked_module] != 'Z';
        dextra::make_answer(answer, p, accepted);
        send(answer, sizeof answer, *d);
        dextra::make_keepalive(keepalive, "XRF031");
        if (accepted) send(keepalive, sizeof keepalive, *d);
        if (accepted) clients.push_back(*d);
      }
      if (k == dextra::kind::header || k == dextra::kind::voice)
        for (const auto& c : clients)
          if (c.from_port != d->from_port || c.from_ip != d->from_ip) send(p, d->bytes.size(), c);
    }
  }
};

TEST(NodeTool, DExtraClientLinksAndItsStreamReachesAnotherThroughAReflector) {
  mini_reflector r;
  const auto run = [&r](std::vector<std::string> a, const std::string& bind) {
    a.insert(a.end(), {"--server", "127.0.0.31", "--in-port", std::to_string(r.endpoint.port()),
                       "--bind", bind, "--timeout", "0.5"});
    auto p = std::make_unique<server_process>();
    p->start_program(MIRX_NODE_PATH, a);
    return p;
  };
  const struct {
    const char* module;
    int status;
    std::string shown;
  } rows[] = {
      {"B", 0, "linked \"N0CALL\" to module B of " + r.at + " from port "},
      {"Z", 3, "link of \"N0CALL\" to module Z of " + r.at + " refused: NAK\n"},
      {"Q", 1, "mirx_node: no link answer from " + r.at + " within 0.5 s\n"},
  };
  for (const auto& row : rows) {
    auto p = run({"link", "--call1", "N0CALL", "--module", row.module}, "127.0.0.32");
    EXPECT_EQ(p->wait_exit(10000), row.status) << p->err();
    EXPECT_EQ((p->out() + p->err()).substr(0, row.shown.size()), row.shown);
  }

  auto listener = run({"listen", "--dextra", "--call1", "LSTN1", "--module", "C"}, "127.0.0.33");
  ASSERT_TRUE(listener->wait_for("linked \"LSTN1\" to module C")) << listener->err();
  auto tx = run({"transmit", "--dextra", "--call1", "TX1", "--module", "C", "--my-call", "SPEAKER",
                 "--frames", "30", "--flat-out"},
                "127.0.0.34");
  EXPECT_EQ(tx->wait_exit(10000), 0) << tx->err();
  EXPECT_NE(tx->out().find("sent header and 30 voice packets as \"SPEAKER \" to " + r.at +
                           " (DExtra stream id 0x"),
            std::string::npos)
      << tx->out();
  EXPECT_TRUE(listener->wait_for("rpt1 \"TX1    C\" rpt2 \"XRF031 C\""));
  // What the listener makes of the stream as the reflector relayed it.
  EXPECT_TRUE(
      listener->wait_for("end of stream from \"SPEAKER \": 30 voice packets\n"
                         "  DExtra stream 0x"));
  EXPECT_TRUE(
      listener->wait_for(": 3 header copies, checksum ok, call signs plausible, 30 voice "
                         "frames, sequence in step, end flag\n"))
      << listener->out();
  listener->signal(SIGINT);
  EXPECT_EQ(listener->wait_exit(5000), 0);
  EXPECT_NE(listener->out().find("unlinked \"LSTN1\" from " + r.at), std::string::npos);

  // The transmitter unlinked at the end, from the port it linked from.
  std::lock_guard<std::mutex> hold(r.lock);
  std::vector<nodes::datagram> from_tx;
  for (const auto& d : r.received)
    if (d.from_ip == *mirx::parse_ipv4("127.0.0.34")) from_tx.push_back(d);
  ASSERT_GE(from_tx.size(), 2u);
  const auto text = [](const nodes::datagram& d) {
    return std::string(d.bytes.begin(), d.bytes.end());
  };
  EXPECT_EQ(text(from_tx.front()), std::string("TX1     CC\0", 11));
  EXPECT_EQ(text(from_tx.back()), std::string("TX1     C \0", 11));
  EXPECT_EQ(from_tx.front().from_port, from_tx.back().from_port);
}

}  // namespace
}  // namespace mirx::e2e
