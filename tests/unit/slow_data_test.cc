// The slow-data stream: what a sender's encoder puts in each frame and what a
// receiver's decoder makes of it, with frames lost on the way.

#include "nodelib/slow_stream.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

namespace mirx::slow {
namespace {

// Feeds frames 0..frames-1 of `e`, all but `lost`, each at its place.
stream_decoder decode(const stream_encoder& e, std::size_t frames,
                      const std::set<std::size_t>& lost = {}) {
  stream_decoder d;
  for (std::size_t n = 0; n < frames; ++n)
    if (!lost.contains(n)) d.feed(n % frames_per_superframe, e.frame(n));
  return d;
}

TEST(SlowDataEncoder, SyncOpensEverySuperframeAndFillerFollowsTheData) {
  const stream_encoder e("Hello", "");
  ASSERT_EQ(e.frames_needed(), 9u);  // the sync and four blocks of two halves
  for (std::size_t n = 0; n < 4 * frames_per_superframe; ++n) {
    EXPECT_EQ(is_sync(e.frame(n)), n % frames_per_superframe == 0) << "frame " << n;
    if (n >= e.frames_needed() && n % frames_per_superframe != 0) {
      EXPECT_EQ(scramble(e.frame(n)), filler) << "frame " << n;
    }
  }
  EXPECT_EQ(stream_encoder("", "").frames_needed(), 0u);
  EXPECT_TRUE(is_sync(stream_encoder("", "").frame(0)));
}

TEST(SlowDataEncoder, TextMatchesTheCannedFramesAndPositionBlocksCountTheirBytes) {
  const stream_encoder e("Conference heard you", "1234567");
  const auto canned = text_message_frames("Conference heard you");
  for (std::size_t n = 1; n <= 8; ++n)
    for (std::size_t i = 0; i < 3; ++i)
      EXPECT_EQ(e.frame(n)[i], canned[(n - 1) * 3 + i]) << "frame " << n;
  ASSERT_EQ(e.blocks().size(), 6u);
  EXPECT_EQ(e.blocks()[4], (block{0x35, '1', '2', '3', '4', '5'}));
  EXPECT_EQ(e.blocks()[5], (block{0x32, '6', '7', 0, 0, 0}));
  EXPECT_THROW(stream_encoder("twenty-one characters", ""), std::invalid_argument);
}

// The server rebuilds blocks by arrival order from the last sync only: a
// block that straddled a sync would be lost to it.
TEST(SlowDataEncoder, BlocksNeverStraddleASyncSoSyncOnlyReassemblyFindsThemAll) {
  std::string position;
  for (int i = 0; i < 90; ++i) position += static_cast<char>('A' + i % 26);
  position += "-tail\r";  // 96 bytes: 20 blocks, the last one short
  const stream_encoder e("Across three frames!", position);
  ASSERT_GT(e.frames_needed(), 2 * frames_per_superframe);
  block_assembler server;
  std::string got;
  for (std::size_t n = 0; n < e.frames_needed(); ++n) {
    const auto done = server.feed(e.frame(n));
    if (done && block_type((*done)[0]) == type_position)
      got.append(reinterpret_cast<const char*>(done->data() + 1), data_count((*done)[0]));
  }
  EXPECT_EQ(got, position);
}

struct round_trip {
  const char* name;
  std::string text, position;
  std::set<std::size_t> lost;
  std::string want_text;  // empty: no text message seen
  bool text_complete;
  std::string want_position;
  std::size_t lost_halves;
};

// Capitals and digits read as text and position headers when halves are
// mis-paired, so any pairing across a lost frame would show up as bytes that
// were never sent.
const std::string digits = "0123456789ABCDEFGHIJ0123456789";

TEST(SlowDataRoundTrip, TextAndPositionSurviveAndALostFrameCostsOnlyItsBlock) {
  const std::string hello = "Hello conference", padded = hello + "    ";
  const std::string cut = digits.substr(0, 10) + digits.substr(15);  // one block gone
  const std::string fives(60, '5');
  const std::string sync_like =
      "AB%b\x85"
      "CDEFG";
  const round_trip cases[] = {
      {"text only", hello, "", {}, padded, true, "", 0},
      {"position only", "", "!4903.50N/07201.75W-", {}, "", false, "!4903.50N/07201.75W-", 0},
      {"both", "CQ from the tool", digits, {}, "CQ from the tool    ", true, digits, 0},
      {"lost second half of text block 1", hello, "", {4}, "Hello?????erence    ", false, "", 1},
      {"lost first half of a position block", "", digits, {5}, "", false, cut, 1},
      {"two halves of one block lost", "", digits, {5, 6}, "", false, cut, 0},
      {"lost sync frame", "", std::string(110, '7'), {21}, "", false, std::string(110, '7'), 0},
      {"lost half before a sync", "", fives, {19}, "", false, fives.substr(5), 1},
      // Data bytes 2..4 of "AB%b\x85" scramble to the sync pattern: the
      // block must carry one byte less rather than look like a sync.
      {"bytes that would scramble to a sync", "", sync_like, {}, "", false, sync_like, 0},
  };
  for (const round_trip& c : cases) {
    SCOPED_TRACE(c.name);
    const stream_encoder e(c.text, c.position);
    const stream_decoder d = decode(e, e.frames_needed() + frames_per_superframe, c.lost);
    EXPECT_EQ(d.has_text(), !c.want_text.empty());
    if (!c.want_text.empty()) {
      EXPECT_EQ(d.text(), c.want_text);
    }
    EXPECT_EQ(d.text_complete(), c.text_complete);
    EXPECT_EQ(d.position(), c.want_position);
    EXPECT_EQ(d.lost_halves(), c.lost_halves);
  }
}

TEST(SlowDataDecoder, IgnoresFillerOtherTypesAndOutOfRangeTextParts) {
  stream_decoder d;
  const block odd[] = {{0x66, 0x66, 0x66, 0x66, 0x66, 0x66},
                       {0x44, 'x', 'x', 'x', 'x', 'x'},   // text part 4 does not exist
                       {0x25, 'y', 'y', 'y', 'y', 'y'},   // another block type
                       {0x3F, '1', '2', '3', '4', '5'}};  // count above five
  std::size_t place = 1;
  for (const block& b : odd) {
    d.feed(place++, scramble(first_half(b)));
    d.feed(place++, scramble(second_half(b)));
  }
  EXPECT_FALSE(d.has_text());
  EXPECT_EQ(d.position(), "12345");
  EXPECT_EQ(d.lost_halves(), 0u);
}

// Published examples: a GPS-A line as radios send it, with the CRC it shows
// (taken over the carriage return too), and the NMEA sentence quoted in every
// description of the format.
TEST(PositionChecks, MatchPublishedExamples) {
  const std::string packet =
      "OH3BK-D>APRATS,DSTAR*:@165340h6128.23N/02353.52E-D-RATS (GPS-A) /A=000377";
  EXPECT_EQ(gps_a_line(packet), "$$CRCB727," + packet + "\r");
  const std::string gga = "GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,";
  EXPECT_EQ(nmea_sentence(gga), "$" + gga + "*47\r\n");
}

// A report repeats only in whole copies, each from a superframe's start.
TEST(SlowDataEncoder, RepeatsThePositionInWholeCopiesFromSuperframeStarts) {
  const std::string report(60, 'R');  // 12 blocks: two superframes a copy
  const struct {
    std::string text;
    std::size_t frames, copies;
  } rows[] = {
      {"", 25, 0},     {"", 26, 1},  // 26: sync, ten blocks, sync, two blocks
      {"", 67, 1},     {"", 68, 2},     {"", 110, 3},
      {"Text", 33, 0}, {"Text", 34, 1}, {"Text", 68, 2},  // the text rides in the first copy only
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text + " " + std::to_string(r.frames));
    stream_encoder e(r.text, report);
    EXPECT_EQ(e.repeat_position(r.frames), r.copies);
    if (r.copies == 0) continue;  // the sender refuses such a transmission
    std::string want;
    for (std::size_t i = 0; i < r.copies; ++i) want += report;
    EXPECT_EQ(decode(e, r.frames).position(), want);
    // The second copy opens the third superframe (frame 42 is its sync).
    if (r.copies > 1) {
      EXPECT_EQ(scramble(e.frame(43)), first_half(e.blocks()[r.text.empty() ? 0 : 4]));
    }
  }
}

}  // namespace
}  // namespace mirx::slow
