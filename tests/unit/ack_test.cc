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
  const std::array<std::uint8_t, 9> silence = {0x9E, 0x8D, 0x32, 0x88, 0x26,
                                               0x1A, 0x3F, 0x61, 0xE8};
  for (const ack::frames* f : {&ack::delivered_frames, &ack::undelivered_frames}) {
    for (int i = 0; i < 10; ++i)
      EXPECT_TRUE(std::equal(silence.begin(), silence.end(), (*f)[i].begin())) << "frame " << i;
    EXPECT_EQ(((*f)[0]),
              (ack::frame{0x9E, 0x8D, 0x32, 0x88, 0x26, 0x1A, 0x3F, 0x61, 0xE8, 0x55, 0x2D, 0x16}));
    EXPECT_EQ((*f)[9][9], 0x55);
    EXPECT_EQ((*f)[9][10], 0x55);
    EXPECT_EQ((*f)[9][11], 0x55);
    EXPECT_EQ((*f)[10], (ack::frame{0x55, 0xC8, 0x7A, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  }
  // The tables differ only in the message frames.
  for (int i : {0, 9, 10}) EXPECT_EQ(ack::delivered_frames[i], ack::undelivered_frames[i]);
}

TEST(AckTransmission, TwelveDatagramsWithHeaderFieldsAndSequence) {
  for (bool delivered : {true, false}) {
    harness h;
    h.conf.last_node_call = callsign_of("NODE1");
    h.conf.last_my_call = callsign_of("SPEAKER1");
    const std::uint32_t to = ip(127, 0, 0, 7);
    send_ack_transmission(h.conf, to, delivered);
    ASSERT_EQ(h.net.node_sends.size(), 12u);
    for (const sent& s : h.net.node_sends) EXPECT_EQ(s.ip, to);

    const auto& hd = h.net.node_sends[0].bytes;
    std::vector<std::uint8_t> expected(56, 0);
    expected[8] = 0x10;
    expected[15] = delivered ? 0x00 : 0x01;
    std::memcpy(expected.data() + 18, "NODE1\0\0\0NODE1\0\0\0SPEAKER1NODE1\0\0\0    ", 36);
    EXPECT_EQ(hd, expected);  // every byte the server does not set is zero

    const ack::frames& f = delivered ? ack::delivered_frames : ack::undelivered_frames;
    for (int i = 0; i < 11; ++i) {
      const auto& v = h.net.node_sends[1 + i].bytes;
      ASSERT_EQ(v.size(), 27u);
      std::vector<std::uint8_t> want(27, 0);
      want[8] = 0x20;
      want[13] = static_cast<std::uint8_t>(i);
      std::memcpy(want.data() + 15, f[i].data(), 12);
      EXPECT_EQ(v, want) << "voice packet " << i;
    }
    EXPECT_EQ(h.console_text(), "");
  }
}

TEST(AckTransmission, FirstAckFromUnknownSenderHasEmptyNodeFields) {
  harness h;
  h.conf.last_my_call = callsign_of("ABC\0DEFG");
  send_ack_transmission(h.conf, ip(10, 0, 0, 1), false);
  const auto& hd = h.net.node_sends[0].bytes;
  EXPECT_EQ(std::vector<std::uint8_t>(hd.begin() + 18, hd.begin() + 50),
            std::vector<std::uint8_t>({0,   0,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                       'A', 'B', 'C', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
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
