#include "node/ack.h"

#include <gtest/gtest.h>

#include <cstring>

#include "dprs/slow_data.h"
#include "unit/harness.h"

namespace mirx::testing {
namespace {

// Decodes the text message carried by frames 1..8 of an acknowledgement.
std::string message_of(const ack::frames& f) {
  slow::block_assembler blocks;
  std::string text(20, '?');
  for (int i = 0; i < 11; ++i) {
    auto done = blocks.feed({f[i][9], f[i][10], f[i][11]});
    if (!done || slow::block_type((*done)[0]) != slow::type_text) continue;
    const int part = (*done)[0] & 0x0F;
    for (int k = 0; k < 5; ++k) text[part * 5 + k] = static_cast<char>((*done)[1 + k]);
  }
  return text;
}

TEST(AckFrames, CarryTheirMessagesBetweenSyncAndEndPattern) {
  EXPECT_EQ(message_of(ack::delivered_frames), ack::delivered_text);
  EXPECT_EQ(message_of(ack::undelivered_frames), ack::undelivered_text);
  EXPECT_NE(std::string(ack::delivered_text), ack::undelivered_text);
  // Silence, with the sync in frame 0 and the end pattern after frame 9.
  const ack::frame sync = {0x9E, 0x8D, 0x32, 0x88, 0x26, 0x1A, 0x3F, 0x61, 0xE8, 0x55, 0x2D, 0x16};
  for (const ack::frames* f : {&ack::delivered_frames, &ack::undelivered_frames}) {
    EXPECT_EQ((*f)[0], sync);
    for (int i = 1; i < 10; ++i)
      EXPECT_TRUE(std::equal(sync.begin(), sync.begin() + 9, (*f)[i].begin())) << "frame " << i;
    EXPECT_EQ((ack::frame{(*f)[9][9], (*f)[9][10], (*f)[9][11]}), (ack::frame{0x55, 0x55, 0x55}));
    EXPECT_EQ((*f)[10], (ack::frame{0x55, 0xC8, 0x7A, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  }
}

TEST(AckTransmission, TwelveDatagramsWithHeaderFieldsAndSequence) {
  const struct {
    bool delivered;
    const char *node_call, *my_call;
    std::string calls;  // rpt2, rpt1, your_call, my_call, my_suffix
  } rows[] = {
      {true, "NODE1", "SPEAKER1", std::string("NODE1\0\0\0NODE1\0\0\0SPEAKER1NODE1\0\0\0    ", 36)},
      // Before any registered node has spoken the node fields stay zero.
      {false, "", "ABC",
       std::string(16, '\0') + std::string("ABC\0\0\0\0\0", 8) + std::string(8, '\0') + "    "},
  };
  for (const auto& r : rows) {
    harness h;
    h.conf.last_node_call = callsign_of(r.node_call);
    h.conf.last_my_call = callsign_of(r.my_call);
    const std::uint32_t to = ip(127, 0, 0, 7);
    send_ack_transmission(h.conf, to, r.delivered);
    ASSERT_EQ(h.net.node_sends.size(), 12u);
    EXPECT_EQ(h.net.ips(), std::vector<std::uint32_t>(12, to));

    std::vector<std::uint8_t> expected(56, 0);  // every byte the server does not set is zero
    expected[8] = 0x10;
    expected[15] = r.delivered ? 0x00 : 0x01;
    std::memcpy(expected.data() + 18, r.calls.data(), 36);
    EXPECT_EQ(h.net.node_sends[0].bytes, expected);

    const ack::frames& f = r.delivered ? ack::delivered_frames : ack::undelivered_frames;
    for (int i = 0; i < 11; ++i) {
      std::vector<std::uint8_t> want(27, 0);
      want[8] = 0x20;
      want[13] = static_cast<std::uint8_t>(i);
      std::memcpy(want.data() + 15, f[i].data(), 12);
      EXPECT_EQ(h.net.node_sends[1 + i].bytes, want) << "voice packet " << i;
    }
    EXPECT_EQ(h.console_text(), "");
  }
}

TEST(AckTransmission, FailuresAreReportedAndRetriedEvery10ms) {
  harness h;
  // Header: no space twice, then sent. Voice packet 0: hard failure. Voice
  // packet 1: no space, then sent.
  h.net.failures = {ENOBUFS, ENOBUFS, 0, EACCES, ENOBUFS, 0};
  send_ack_transmission(h.conf, ip(192, 168, 1, 20), true);
  EXPECT_EQ(h.net.node_sends.size(), 12u + 3u);
  EXPECT_EQ(h.net.waits, (std::vector<int>{10, 10, 10}));
  EXPECT_EQ(h.console_text(), "send error 1:" + std::to_string(ENOBUFS) + " 1401a8c0\n" +
                                  "send error 2:" + std::to_string(EACCES) + " 1401a8c0\n" +
                                  "send error 2:" + std::to_string(ENOBUFS) + " 1401a8c0\n");
  EXPECT_EQ(h.log_text(), "");  // the acknowledgement never writes the log file
}

}  // namespace
}  // namespace mirx::testing
