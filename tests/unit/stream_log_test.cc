// The stream log: END records for each way a stream ends, and the bound on
// streams followed. The start, heartbeat and stop records: stream_records_test.

#include "node/stream_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "dprs/slow_data.h"
#include "node/datagrams.h"
#include "unit/harness.h"
#include "unit/record_bytes.h"

namespace mirx::testing {
namespace {

using namespace std::string_literals;
using test::datagram;

// A voice packet: the low byte of its sequence and its first voice bytes.
std::array<std::uint8_t, voice::size> voice_packet(std::uint8_t sequence, std::string frame = "") {
  std::array<std::uint8_t, voice::size> v{};
  v[prefix::sequence + 1] = sequence;
  std::copy(frame.begin(), frame.end(), v.begin() + voice::frame);
  return v;
}

struct streams : ::testing::Test {
  fake_link net;
  stream_log log;
  void SetUp() override { log.start(net, 5, -2500, 0); }
  void talk(std::uint32_t from, const std::string& my_call, std::int64_t at) {
    log.header_arrives(from);
    record::bytes acc;
    const test::bytes b = datagram({"ACC ", "NODE", "GW", my_call});
    std::copy(b.begin(), b.end(), acc.begin());
    log.header_relayed(from, acc, at);
  }
};

// Each way of ending gives one END: how, header to last voice in ms (capped
// at 24 bits), the call signs of the stream's ACC record; then the stream is
// gone.
TEST_F(streams, EachEndGivesOneRecordWithHowAndDuration) {
  struct row {
    std::uint8_t sequence;  // of the last voice packet, at `voice_at`
    std::string frame;
    std::int64_t voice_at, tick_at;
    bool new_header;  // at tick_at, rather than a tick
    std::string how_and_ms;
  };
  const std::vector<row> rows = {
      {0x54, "", 1500, 1501, false, "\x01\x00\x05\xdc"s},
      {0x14, "\x55\xc8\x7a", 1500, 1501, false, "\x01\x00\x05\xdc"s},
      // Half the pattern, and not silent yet: ended by the later mark.
      {0x14, "\x55\xc8", 1500, 3499, false, "\x01\x00\x0d\xab"s},
      {0x14, "", 1500, 3500, false, "\x02\x00\x05\xdc"s},
      {0x14, "", 0x1000005, 0x1000006, true, "\x03\xff\xff\xff"s},
  };
  const std::uint32_t a = ip(127, 0, 0, 2);
  for (const row& r : rows) {
    SetUp();
    talk(a, "SPEAKER", 0);
    log.voice_relayed(a, voice_packet(0x01).data(), 700);
    net.records.clear();
    log.voice_relayed(a, voice_packet(r.sequence, r.frame).data(), r.voice_at);
    if (r.new_header)
      talk(a, "NEXT", r.tick_at);
    else
      log.tick(r.tick_at, 0);
    log.voice_relayed(a, voice_packet(0x40).data(), r.tick_at);  // ends a stream still there
    ASSERT_EQ(net.records.size(), r.new_header ? 2u : 1u) << r.how_and_ms;
    EXPECT_EQ(net.records[0], datagram({"END " + r.how_and_ms, "NODE", "GW", "SPEAKER"}));
  }
}

// Given its header, a stream's HDR record follows with suffix and your_call;
// its text message, sent twice, gives one TXT record once whole, and a new
// stream from the address catches its own.
TEST_F(streams, HeaderDetailsAndOneTextMessagePerStream) {
  const std::uint32_t a = ip(127, 0, 0, 2);
  std::array<std::uint8_t, hdr::size> header{};
  std::copy_n("CQCQCQ  ", 8, header.begin() + hdr::your_call);
  std::copy_n("ID51", 4, header.begin() + hdr::my_suffix);
  const auto frames = slow::text_message_frames("Hallo aus Hamburg  \x01");
  for (int stream = 0; stream < 2; ++stream) {
    net.records.clear();
    log.header_arrives(a);
    record::bytes acc{};
    const test::bytes b = datagram({"ACC ", "NODE", "GW", "DL1ABC"});
    std::copy(b.begin(), b.end(), acc.begin());
    log.header_relayed(a, acc, 0, header.data());
    for (int round = 0; round < 2; ++round) {
      auto v = voice_packet(0);
      std::copy_n(slow::sync_pattern.begin(), 3, v.begin() + voice::slow_data);
      log.voice_relayed(a, v.data(), 10);
      for (std::size_t f = 0; f < 8; ++f) {
        std::copy_n(frames.begin() + 3 * f, 3, v.begin() + voice::slow_data);
        log.voice_relayed(a, v.data(), 10);
      }
    }
    ASSERT_EQ(net.records.size(), 2u + stream);  // the second header ended the first stream
    EXPECT_EQ(net.records[stream], datagram({"HDR ID51", "NODE", "CQCQCQ  ", "DL1ABC"}));
    EXPECT_EQ(net.records[1 + stream],
              datagram({"TXT DL1A", "BC\0\0Hall"s, "o aus Ha", "mburg  \x01"}));
  }
}

// Streams come and go in any order among colliding addresses: each one is
// still found by its own voice, and a full table follows no new address.
TEST_F(streams, FullTableFollowsNoMoreAndEveryStreamStaysFound) {
  std::vector<std::uint32_t> at;  // random addresses, so that probe runs form
  for (std::mt19937 random(3); at.size() <= max_streams;)
    if (const std::uint32_t a = random() | 1; std::find(at.begin(), at.end(), a) == at.end())
      at.push_back(a);
  for (std::uint32_t i = 0; i <= max_streams; ++i) talk(at[i], std::to_string(i), 0);
  net.records.clear();
  log.voice_relayed(at[max_streams], voice_packet(0x40).data(), 10);
  EXPECT_TRUE(net.records.empty());
  // The even ones fall silent together; the odd ones end by their mark.
  std::vector<std::uint32_t> odd;
  for (std::uint32_t i = 1; i < max_streams; i += 2) odd.push_back(i);
  for (std::uint32_t i : odd) log.voice_relayed(at[i], voice_packet(0x01).data(), 10);
  log.tick(2005, 0);
  EXPECT_EQ(net.records.size(), max_streams / 2);
  std::shuffle(odd.begin(), odd.end(), std::mt19937(7));
  for (std::uint32_t i : odd) {
    log.voice_relayed(at[i], voice_packet(0x40).data(), 10);
    EXPECT_EQ(net.records.back(), datagram({"END \x01\0\0\x0a"s, "NODE", "GW", std::to_string(i)}));
  }
  EXPECT_EQ(log.in_progress(), 0u);
}

}  // namespace
}  // namespace mirx::testing
