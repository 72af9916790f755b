#include "node/relay.h"

#include <gtest/gtest.h>

#include <cstring>

#include "unit/harness.h"

namespace mirx::testing {
namespace {

constexpr std::size_t ack_datagrams = 12;

void add(harness& h, const char* call1, const char* call2, std::uint32_t at) {
  ASSERT_TRUE(h.conf.table.append({callsign_of(call1), callsign_of(call2), at}));
}

std::array<std::uint8_t, 56> header_from(const char* my_call) {
  std::array<std::uint8_t, 56> p{};
  for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(0xA0 + i);
  std::memset(p.data() + 42, 0, 8);
  std::memcpy(p.data() + 42, my_call, std::strlen(my_call));
  return p;
}

// The addresses a header was relayed to: all sends but the acknowledgement.
std::vector<std::uint32_t> relayed_to(const harness& h) {
  std::vector<std::uint32_t> to = h.net.ips();
  to.resize(to.size() - ack_datagrams);
  return to;
}

struct three_nodes : ::testing::Test {
  const std::uint32_t a = ip(127, 0, 0, 2), b = ip(127, 0, 0, 3), c = ip(127, 0, 0, 4);
  void fill(harness& h) {
    add(h, "AAAA", "gw-a", a);
    add(h, "BBBB", "gw-b", b);
    add(h, "CCCC", "gw-c", c);
  }
};

TEST_F(three_nodes, HeaderGoesUnchangedToEveryOtherNodeAndTheSenderOnlyUnderDebug) {
  for (bool debug : {false, true}) {
    harness h(debug);
    fill(h);
    const auto pkt = header_from("SPEAKER");
    relay_header(h.conf, b, pkt.data());
    const auto expected =
        debug ? std::vector<std::uint32_t>{a, b, c} : std::vector<std::uint32_t>{a, c};
    EXPECT_EQ(relayed_to(h), expected);
    for (std::size_t i = 0; i < expected.size(); ++i)
      EXPECT_EQ(h.net.node_sends[i].bytes, std::vector<std::uint8_t>(pkt.begin(), pkt.end()));
    EXPECT_EQ(h.net.node_sends.size(), expected.size() + ack_datagrams);
    EXPECT_EQ(h.net.node_sends.back().ip, b);  // the acknowledgement answers the sender
    EXPECT_EQ(h.log_text().find("Header"), std::string::npos);  // headers are not logged
  }
}

// The fan-out to many nodes and its failures: relay_batch_test.
TEST_F(three_nodes, VoiceShownPerNodeGoesOneSendAtATimeToEveryNode) {
  harness h(false, true);
  h.net.batching = true;
  fill(h);
  relay_voice(h.conf, ip(9, 9, 9, 9),
              std::array<std::uint8_t, 27>{}.data());  // unregistered sender: everybody
  EXPECT_EQ(h.console_text(),
            "TS Send DV Packet to AAAA\nTS Send DV Packet to BBBB\nTS Send DV Packet to CCCC\n");
  EXPECT_EQ(h.net.ips(), (std::vector<std::uint32_t>{a, b, c}));
  EXPECT_TRUE(h.net.batch_sizes.empty());  // each console line just before its own send
}

TEST_F(three_nodes, HeaderRemembersSpeakerAndNodeForTheAckAndTheRecord) {
  harness h(false, true);
  fill(h);
  add(h, "DDDD", "gw-d", b);  // a second node behind b's address: the later one names the sender
  relay_header(h.conf, b, header_from("MYCALL").data());
  EXPECT_EQ(text_of(h.conf.last_my_call), "MYCALL");
  EXPECT_EQ(text_of(h.conf.last_node_call), "DDDD");
  ASSERT_EQ(h.net.records.size(), 1u);
  const auto& acc = h.net.records[0];
  EXPECT_EQ(std::string(acc.begin(), acc.end()),
            std::string("ACC \0\0\0\0DDDD\0\0\0\0gw-d\0\0\0\0MYCALL\0\0", 32));
  EXPECT_EQ(h.console_text(),
            "TS Send Header Packet from MYCALL\n"
            "TS Send Header Packet to AAAA\n"
            "TS Send Header Packet to CCCC\n");

  // An unregistered sender: my_call taken, node call kept, record names nobody.
  h.net.records.clear();
  relay_header(h.conf, ip(10, 1, 1, 1), header_from("OTHER").data());
  EXPECT_EQ(text_of(h.conf.last_my_call), "OTHER");
  EXPECT_EQ(text_of(h.conf.last_node_call), "DDDD");
  EXPECT_EQ(std::string(h.net.records[0].begin(), h.net.records[0].end()),
            std::string("ACC \0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0OTHER\0\0\0", 32));
}

TEST_F(three_nodes, DeliveredOnlyWhenSomeNodeWasSentTheHeader) {
  struct row {
    bool debug;
    bool register_others;
    bool delivered;
  };
  const row rows[] = {{false, true, true}, {false, false, false}, {true, false, true}};
  for (const row& r : rows) {
    harness h(r.debug);
    add(h, "AAAA", "gw-a", a);
    if (r.register_others) add(h, "BBBB", "gw-b", b);
    relay_header(h.conf, a, header_from("X").data());
    const auto& ack_header = h.net.node_sends[h.net.node_sends.size() - ack_datagrams].bytes;
    EXPECT_EQ(ack_header.size(), 56u);
    EXPECT_EQ(ack_header[15], r.delivered ? 0x00 : 0x01) << r.debug << r.register_others;
  }
  harness empty;
  relay_header(empty.conf, a, header_from("X").data());
  EXPECT_EQ(empty.net.node_sends.size(), ack_datagrams);  // the acknowledgement still goes
  EXPECT_EQ(empty.net.node_sends[0].bytes[15], 0x01);
  EXPECT_EQ(empty.net.records.size(), 1u);  // and so does the record
}

// A no-space failure that turns into another error ends the retries, the
// walk goes on, and a header's failures stay off the log file.
TEST_F(three_nodes, HeaderSendFailuresAreRetriedOnlyForWantOfBufferSpace) {
  harness h;
  fill(h);
  h.net.failures = {ENOBUFS, EHOSTUNREACH};
  relay_header(h.conf, b, header_from("X").data());
  EXPECT_EQ(h.net.waits, (std::vector<int>{50}));
  EXPECT_EQ(relayed_to(h), (std::vector<std::uint32_t>{a, a, c}));
  EXPECT_EQ(h.log_text(), "");
  EXPECT_EQ(h.console_text(), "send error 2:" + std::to_string(ENOBUFS) + " 200007f\n");
}

}  // namespace
}  // namespace mirx::testing
