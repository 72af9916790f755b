// The one table of live streams that the stream log and the conference
// rules share: its bound, silence told once to every reader, and origins
// kept apart by door. What each reader does with it: floor_rules_test,
// stream_log_test.

#include "node/live_streams.h"

#include <gtest/gtest.h>

#include "node/conference_rules.h"
#include "node/stream_log.h"
#include "unit/harness.h"

namespace mirx::testing {
namespace {

std::array<std::uint8_t, hdr::size> header_from(const std::string& my_call) {
  std::array<std::uint8_t, hdr::size> h{};
  std::copy(my_call.begin(), my_call.end(), h.begin() + hdr::my_call);
  return h;
}

struct shared : ::testing::Test {
  harness h;
  live_streams table;
  stream_log log;
  conference_rules rules;
  void SetUp() override {
    table.start();
    log.start(h.net, 3600, 0, 0, &table);
    rules.start(true, 0, &log, &table);
    h.net.records.clear();
  }
  // A header from `from` as the server takes it.
  floor_verdict talk(const stream_origin& from, const std::string& my_call, std::int64_t at) {
    log.header_arrives(from);
    const floor_verdict v = rules.header(h.conf, from, header_from(my_call).data(), at);
    if (v == floor_verdict::relay) log.header_relayed(from, record::make(record::tag_acc), at);
    return v;
  }
};

// Once the table is full, a stream that cannot be followed is refused.
TEST_F(shared, AFullTableRefusesTheHeader) {
  for (std::uint32_t i = 0; i < live_streams::capacity; ++i) {
    live_stream* s = table.open(stream_origin{2, 0x0a000000u + i, 30001}, 0);
    ASSERT_NE(s, nullptr) << i;
    s->logged = true;  // held
  }
  EXPECT_EQ(table.open(ip(127, 0, 0, 1), 0), nullptr);
  EXPECT_EQ(talk(ip(127, 0, 0, 1), "TALKER", 10), floor_verdict::refuse);
  EXPECT_EQ(rules.talker(), nullptr);
}

// Silence ends a stream once: one END record, the floor freed, the entry
// gone, and nothing more at the next look.
TEST_F(shared, SilenceEndsOnceAndTellsEveryReader) {
  const stream_origin from = ip(127, 0, 0, 1);
  ASSERT_EQ(talk(from, "TALKER", 0), floor_verdict::relay);
  ASSERT_NE(rules.talker(), nullptr);
  table.end_silent(stream_silence_ms - 1);
  EXPECT_TRUE(h.net.records.empty());
  table.end_silent(stream_silence_ms);
  ASSERT_EQ(h.net.records.size(), 1u);
  EXPECT_EQ(h.net.records[0][record::end_how], record::end_by_silence);
  EXPECT_EQ(rules.talker(), nullptr);
  EXPECT_EQ(log.in_progress(), 0u);
  EXPECT_EQ(table.size(), 0u);
  table.end_silent(10 * stream_silence_ms);
  EXPECT_EQ(h.net.records.size(), 1u);
}

// A door's peer and a node at the same address are two streams.
TEST_F(shared, ADoorStreamAndANodeStreamFromOneAddressAreDistinct) {
  const std::uint32_t a = ip(127, 0, 0, 1);
  const stream_origin node = a, peer{1, a, 30001};
  ASSERT_EQ(talk(peer, "PEER", 0), floor_verdict::relay);
  EXPECT_EQ(talk(node, "NODE", 10), floor_verdict::refuse);  // OneTalker: the peer holds it
  const live_stream *p = table.find(peer), *n = table.find(node);
  ASSERT_NE(n, nullptr);
  ASSERT_NE(p, n);
  EXPECT_EQ(std::pair(p->floor, p->logged), std::pair(floor_state::talking, true));
  EXPECT_EQ(std::pair(n->floor, n->logged), std::pair(floor_state::refused, false));
}

}  // namespace
}  // namespace mirx::testing
