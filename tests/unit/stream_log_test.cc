// The stream log: END records for each way a stream ends, the bound on
// streams followed, and the start, heartbeat and stop records.

#include "monitor/stream_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "node/datagrams.h"
#include "unit/harness.h"
#include "unit/record_bytes.h"

namespace mirx::testing {
namespace {

using namespace std::string_literals;
using test::datagram;

record::bytes acc(const std::string& call1, const std::string& my_call) {
  const test::bytes b = datagram({"ACC ", call1, "GW", my_call});
  record::bytes r;
  std::copy(b.begin(), b.end(), r.begin());
  return r;
}

std::array<std::uint8_t, voice::size> voice_packet(std::uint8_t sequence, std::uint8_t first = 0) {
  std::array<std::uint8_t, voice::size> v{};
  v[prefix::sequence + 1] = sequence;
  v[voice::frame] = first;
  if (first == 0x55) {
    v[voice::frame + 1] = 0xC8;
    v[voice::frame + 2] = 0x7A;
  }
  return v;
}

struct streams : ::testing::Test {
  fake_link net;
  stream_log log;
  const std::uint32_t a = ip(127, 0, 0, 2);
  void SetUp() override {
    log.start(net, 30, -5000, 0);
    net.records.clear();
  }
  void talk(std::uint32_t from, const std::string& my_call, std::int64_t at) {
    log.header_arrives(from);
    log.header_relayed(from, acc("NODE", my_call), at);
  }
};

// Each way of ending gives one END: how, header-to-last-voice in ms, and the
// call signs of the stream's ACC record.
TEST_F(streams, EachEndGivesOneRecordWithHowAndDuration) {
  struct row {
    std::uint8_t sequence, first;  // of the last voice packet, at 1500 ms
    std::int64_t tick_at;
    std::string how_and_ms;  // bytes 4..7
  };
  const std::vector<row> rows = {
      {0x54, 0x00, 1501, "\x01\x00\x05\xdc"s},  // flag 0x40 in the low sequence byte
      {0x14, 0x55, 1501, "\x01\x00\x05\xdc"s},  // 55 C8 7A opens the voice frame
      {0x14, 0x00, 3499, ""},                   // still within the silence limit
      {0x14, 0x00, 3500, "\x02\x00\x05\xdc"s},  // silence after the last voice
  };
  for (const row& r : rows) {
    SetUp();
    talk(a, "SPEAKER", 0);
    log.voice_relayed(a, voice_packet(0x01).data(), 700);
    log.voice_relayed(a, voice_packet(r.sequence, r.first).data(), 1500);
    log.tick(r.tick_at, 0);
    if (r.how_and_ms.empty()) {
      EXPECT_TRUE(net.records.empty());
      continue;
    }
    ASSERT_EQ(net.records.size(), 1u) << r.how_and_ms;
    EXPECT_EQ(net.records[0], datagram({"END " + r.how_and_ms, "NODE", "GW", "SPEAKER"}));
    log.voice_relayed(a, voice_packet(0x40).data(), 1600);  // no stream there any more
    EXPECT_EQ(net.records.size(), 1u);
  }
}

TEST_F(streams, NewHeaderSupersedesAndStartsAgain) {
  talk(a, "FIRST", 0);
  log.voice_relayed(a, voice_packet(0x01).data(), 0x1000000 + 5);  // longer than 24 bits
  talk(a, "SECOND", 0x1000000 + 10);
  ASSERT_EQ(net.records.size(), 1u);
  EXPECT_EQ(net.records[0], datagram({"END \x03\xff\xff\xff"s, "NODE", "GW", "FIRST"}));
  EXPECT_EQ(log.in_progress(), 1u);
}

// Streams come and go in any order among colliding addresses: each one is
// still found by its own voice, and a full table follows no new address.
TEST_F(streams, FullTableFollowsNoMoreAndEveryStreamStaysFound) {
  // Random addresses, so that probe runs form as they would in real life.
  std::vector<std::uint32_t> at;
  for (std::mt19937 random(3); at.size() <= max_streams;)
    if (const std::uint32_t a = random() | 1; std::find(at.begin(), at.end(), a) == at.end())
      at.push_back(a);
  auto from = [&at](std::uint32_t i) { return at[i]; };
  for (std::uint32_t i = 0; i <= max_streams; ++i) talk(from(i), std::to_string(i), 0);
  EXPECT_EQ(log.in_progress(), max_streams);
  log.voice_relayed(from(max_streams), voice_packet(0x40).data(), 10);
  EXPECT_TRUE(net.records.empty());
  // The even ones fall silent together; the odd ones end by their mark, in
  // any order.
  std::vector<std::uint32_t> odd;
  for (std::uint32_t i = 1; i < max_streams; i += 2) odd.push_back(i);
  for (std::uint32_t i : odd) log.voice_relayed(from(i), voice_packet(0x01).data(), 10);
  log.tick(2005, 0);
  EXPECT_EQ(net.records.size(), max_streams / 2);
  std::shuffle(odd.begin(), odd.end(), std::mt19937(7));
  for (std::uint32_t i : odd) {
    log.voice_relayed(from(i), voice_packet(0x40).data(), 10);
    EXPECT_EQ(net.records.back(),
              datagram({"END \x01\x00\x00\x0a"s, "NODE", "GW", std::to_string(i)}));
  }
  EXPECT_EQ(net.records.size(), max_streams);
  EXPECT_EQ(log.in_progress(), 0u);
}

// RUN at start, HBT each period (a stall does not burst), OFF at the stop:
// table size, seconds up, streams in progress, period and silence limit.
TEST(StreamLogStatus, StartHeartbeatAndStopRecords) {
  fake_link net;
  stream_log log;
  log.start(net, 5, -2500, 0);
  log.tick(4999, 3);
  log.tick(5000, 3);
  log.header_relayed(ip(127, 0, 0, 9), acc("N", "M"), 5100);
  log.tick(21000, 4);
  log.tick(24000, 4);
  log.stop(24100, 2);
  auto status = [](const char* tag, char table, char up, char open) {
    return datagram({tag + "\0\0\0\0"s, "\0\0\0"s + table + "\0\0\0"s + up,
                     "\0\0\0"s + open + "\0\0\0\x05"s, "\0\0\x07\xd0"s});
  };
  const std::vector<test::bytes> want = {status("RUN ", 0, 2, 0), status("HBT ", 3, 7, 0),
                                         datagram({"END \x02"s, "N", "GW", "M"}),
                                         status("HBT ", 4, 23, 0), status("OFF ", 2, 26, 0)};
  EXPECT_EQ(net.records, want);
}

}  // namespace
}  // namespace mirx::testing
