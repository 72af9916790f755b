// The voice fan-out, one send at a time and in batches: the same datagrams to
// the same nodes in the same order, the same log-file lines, failure lines
// and retries, whatever the batch size and wherever inside a batch a send
// fails.

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "node/relay.h"
#include "nodelib/udp_endpoint.h"
#include "platform/platform.h"
#include "server/socket_link.h"
#include "unit/harness.h"

namespace mirx::testing {
namespace {

std::uint32_t node_ip(int i) {
  return ip(127, 0, 5 + i / 250, 1 + i % 250);
}

void fill(harness& h, int count) {
  for (int i = 0; i < count; ++i)
    ASSERT_TRUE(h.conf.table.append(
        {callsign_of(("N" + std::to_string(i)).c_str()), callsign_of("GW"), node_ip(i)}));
}

const std::vector<std::uint8_t> packet = [] {
  std::vector<std::uint8_t> p(27);
  for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(0x30 + i);
  return p;
}();

TEST(VoiceFanOut, EveryOtherNodeInTableOrderWithALinePerNode) {
  for (bool batching : {false, true}) {
    for (int nodes : {1, 64, 65, 150}) {
      SCOPED_TRACE(std::to_string(nodes) + (batching ? " nodes, batched" : " nodes"));
      harness h;
      h.net.batching = batching;
      fill(h, nodes);
      const int sender = nodes / 2;
      relay_voice(h.conf, node_ip(sender), packet.data());
      std::vector<std::uint32_t> expected;
      std::string lines;
      for (int i = 0; i < nodes; ++i) {
        if (i == sender) continue;
        expected.push_back(node_ip(i));
        lines += "Send DV Packet to N" + std::to_string(i) + "\n";
      }
      EXPECT_EQ(h.net.ips(), expected);
      for (const sent& s : h.net.node_sends) ASSERT_EQ(s.bytes, packet);
      EXPECT_EQ(h.log_text(), lines);
      EXPECT_EQ(h.console_text(), "");
      EXPECT_EQ(h.net.batch_sizes.empty(), !batching || nodes == 1);
      for (std::size_t size : h.net.batch_sizes) EXPECT_LE(size, node_link::max_batch);
    }
  }
}

TEST(VoiceFanOut, AFailedSendIsReportedInPlaceAndRetriedAlone) {
  // N0 speaks. N2 finds no buffer space twice, then gets through; N3 fails
  // with another error and is not retried. In a batch N2's failure comes
  // without its code, so N2 is first tried again on its own; N3 then fails
  // at the head of the rest of the batch, with its code.
  const struct {
    bool batching;
    std::deque<int> failures;
    std::vector<int> tries;
  } rows[] = {
      {false, {0, ENOBUFS, ENOBUFS, 0, EHOSTUNREACH}, {1, 2, 2, 2, 3, 4}},
      {true, {0, EPERM, ENOBUFS, ENOBUFS, 0, EHOSTUNREACH}, {1, 2, 2, 2, 2, 3, 4}},
  };
  // 127.0.5.3 and 127.0.5.4 as the failure lines print them.
  const std::string n2 = "send error 2:" + std::to_string(ENOBUFS) + " 305007f\n";
  const std::string n3 = "send error 2:" + std::to_string(EHOSTUNREACH) + " 405007f\n";
  for (const auto& r : rows) {
    SCOPED_TRACE(r.batching);
    harness h;
    h.net.batching = r.batching;
    fill(h, 5);
    h.net.failures = r.failures;
    relay_voice(h.conf, node_ip(0), packet.data());
    std::vector<std::uint32_t> tries;
    for (int i : r.tries) tries.push_back(node_ip(i));
    EXPECT_EQ(h.net.ips(), tries);
    EXPECT_EQ(h.net.waits, (std::vector<int>{50, 50}));
    EXPECT_EQ(h.log_text(), "Send DV Packet to N1\nSend DV Packet to N2\n" + n2 +
                                "Send DV Packet to N3\n" + n3 + "Send DV Packet to N4\n");
    EXPECT_EQ(h.console_text(), n2 + n3);  // one line per failed send, none per retry
  }
}

// The real batch send: every node gets the very bytes, once.
TEST(VoiceFanOut, SocketLinkDeliversTheBatchOnLoopback) {
  std::vector<nodes::udp_endpoint> receivers;
  std::vector<std::uint32_t> ips;
  std::uint16_t port = 0;
  for (int i = 1; i <= 3; ++i) {
    auto r = nodes::udp_endpoint::bind("127.0.6." + std::to_string(i), port);
    ASSERT_TRUE(r);
    port = r->port();
    ips.push_back(r->ip());
    receivers.push_back(std::move(*r));
  }
  socket_link link;
  link.out_socket = platform::open_udp_socket();
  link.out_port = port;
  int error = -1;
  EXPECT_EQ(link.send_to_nodes(packet.data(), packet.size(), ips.data(), 3, &error), 3u);
  EXPECT_EQ(error, 0);
  for (const auto& r : receivers) {
    const auto got = r.receive(2000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, packet);
    EXPECT_FALSE(r.receive(50));
  }
  platform::close_socket(link.out_socket);
}

}  // namespace
}  // namespace mirx::testing
