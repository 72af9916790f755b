// The voice fan-out in batches: the same datagrams to the same nodes in the
// same order, the same log-file lines in the same order, and the same
// failure lines and retries as one send at a time, whatever the batch size
// and wherever inside a batch a send fails.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "node/relay.h"
#include "nodelib/udp_endpoint.h"
#include "server/platform.h"
#include "server/socket_link.h"
#include "unit/harness.h"

namespace mirx::testing {
namespace {

// Sends as the kernel's batch call does: in order, stopping at the first
// failure, whose code is told only when it is the first of the call.
class batch_link final : public node_link {
 public:
  std::vector<std::uint32_t> attempts;
  std::vector<std::size_t> batch_sizes;
  std::deque<int> failures;  // outcome of the next attempts; empty: success
  std::vector<int> waits;

  int send_to_node(const std::uint8_t*, std::size_t, std::uint32_t ip) override {
    attempts.push_back(ip);
    return next();
  }
  std::size_t send_to_nodes(const std::uint8_t*, std::size_t, const std::uint32_t* ips,
                            std::size_t count, int* error) override {
    batch_sizes.push_back(count);
    for (std::size_t i = 0; i < count; ++i) {
      attempts.push_back(ips[i]);
      const int e = next();
      if (e == 0) continue;
      *error = i == 0 ? e : 0;
      return i;
    }
    *error = 0;
    return count;
  }
  void send_to_log_server(const std::uint8_t*, std::size_t) override {}
  void wait_ms(int ms) override { waits.push_back(ms); }

 private:
  int next() {
    if (failures.empty()) return 0;
    const int e = failures.front();
    failures.pop_front();
    return e;
  }
};

struct batch_harness {
  captured console, log;
  output out;
  batch_link net;
  conference conf{out, net, {}, {}, {}};
  batch_harness() {
    out.console = console.file();
    out.log = log.file();
  }
};

std::uint32_t node_ip(int i) {
  return ip(127, 0, 5 + i / 250, 1 + i % 250);
}

std::string call_of(int i) {
  return "N" + std::to_string(i);
}

void fill(conference& c, int count) {
  for (int i = 0; i < count; ++i)
    ASSERT_TRUE(c.table.append({callsign_of(call_of(i).c_str()), callsign_of("GW"), node_ip(i)}));
}

std::array<std::uint8_t, 27> voice_packet() {
  std::array<std::uint8_t, 27> p{};
  for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(0x30 + i);
  return p;
}

TEST(VoiceBatch, MoreNodesThanOneBatchAreReachedInTableOrderWithALinePerNode) {
  for (int nodes : {1, 64, 65, 150}) {
    batch_harness h;
    fill(h.conf, nodes);
    const int sender = nodes / 2;
    relay_voice(h.conf, node_ip(sender), voice_packet().data());
    std::vector<std::uint32_t> expected;
    std::string lines;
    for (int i = 0; i < nodes; ++i) {
      if (i == sender) continue;
      expected.push_back(node_ip(i));
      lines += "Send DV Packet to " + call_of(i) + "\n";
    }
    EXPECT_EQ(h.net.attempts, expected) << nodes;
    EXPECT_EQ(h.log.text(), lines) << nodes;
    EXPECT_EQ(h.console.text(), "");
    for (std::size_t size : h.net.batch_sizes) EXPECT_LE(size, node_link::max_batch);
  }
}

TEST(VoiceBatch, AFailureInsideABatchIsReportedInPlaceAndRetriedAlone) {
  batch_harness h;
  fill(h.conf, 5);  // N0..N4; N0 speaks
  // N1 is sent; N2 fails inside the batch without its code, fails again on
  // its own for want of buffer space, then gets through; N3 fails at the
  // head of the rest of the batch with another error and is not retried.
  h.net.failures = {0, EPERM, ENOBUFS, 0, EHOSTUNREACH};
  relay_voice(h.conf, node_ip(0), voice_packet().data());
  EXPECT_EQ(h.net.attempts, (std::vector<std::uint32_t>{node_ip(1), node_ip(2), node_ip(2),
                                                        node_ip(2), node_ip(3), node_ip(4)}));
  EXPECT_EQ(h.net.waits, (std::vector<int>{50}));
  char n2[64], n3[64];
  std::snprintf(n2, sizeof n2, "send error 2:%d %x\n", ENOBUFS, address_as_hex(node_ip(2)));
  std::snprintf(n3, sizeof n3, "send error 2:%d %x\n", EHOSTUNREACH, address_as_hex(node_ip(3)));
  EXPECT_EQ(h.log.text(), std::string("Send DV Packet to N1\nSend DV Packet to N2\n") + n2 +
                              "Send DV Packet to N3\n" + n3 + "Send DV Packet to N4\n");
  EXPECT_EQ(h.console.text(), std::string(n2) + n3);
}

TEST(VoiceBatch, ConsoleLinesPerNodeKeepOneSendAtATime) {
  batch_harness h;
  h.out.info = true;
  fill(h.conf, 3);
  relay_voice(h.conf, node_ip(9), voice_packet().data());
  EXPECT_TRUE(h.net.batch_sizes.empty());
  EXPECT_EQ(h.net.attempts.size(), 3u);
  EXPECT_EQ(unstamp(h.console.text()),
            "TS Send DV Packet to N0\nTS Send DV Packet to N1\nTS Send DV Packet to N2\n");
}

// The real batch send: every node gets the very bytes, once.
TEST(VoiceBatch, SocketLinkDeliversTheBatchOnLoopback) {
  std::vector<nodes::udp_endpoint> receivers;
  std::uint16_t port = 0;
  for (int i = 0; i < 3; ++i) {
    auto r = nodes::udp_endpoint::bind("127.0.6." + std::to_string(1 + i), port);
    ASSERT_TRUE(r);
    port = r->port();
    receivers.push_back(std::move(*r));
  }
  socket_link link;
  link.out_socket = platform::open_udp_socket();
  link.out_port = port;
  const auto packet = voice_packet();
  const std::uint32_t ips[3] = {receivers[0].ip(), receivers[1].ip(), receivers[2].ip()};
  int error = -1;
  EXPECT_EQ(link.send_to_nodes(packet.data(), packet.size(), ips, 3, &error), 3u);
  EXPECT_EQ(error, 0);
  for (const auto& r : receivers) {
    const auto got = r.receive(2000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, std::vector<std::uint8_t>(packet.begin(), packet.end()));
    EXPECT_FALSE(r.receive(50));
  }
  platform::close_socket(link.out_socket);
}

}  // namespace
}  // namespace mirx::testing
