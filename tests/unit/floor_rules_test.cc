// The floor rules' decisions, step by step on a driven clock, and the echo
// test's recording and paced playback. On the real server:
// conference_rules_test (end to end).

#include <gtest/gtest.h>

#include <cerrno>

#include "node/conference_rules.h"
#include "node/echo_test.h"
#include "node/stream_log.h"
#include "unit/harness.h"

namespace mirx::testing {
namespace {

using v = floor_verdict;

std::array<std::uint8_t, hdr::size> header_from(const std::string& my_call,
                                                const std::string& your_call = "CQCQCQ  ") {
  std::array<std::uint8_t, hdr::size> h{};
  std::copy(my_call.begin(), my_call.end(), h.begin() + hdr::my_call);
  std::copy(your_call.begin(), your_call.end(), h.begin() + hdr::your_call);
  return h;
}

std::array<std::uint8_t, voice::size> voice_packet(std::uint8_t n, bool last = false) {
  std::array<std::uint8_t, voice::size> p{};
  p[prefix::sequence + 1] = static_cast<std::uint8_t>(n % 21 | (last ? voice::last_frame_flag : 0));
  p[voice::slow_data] = n;
  return p;
}

// One step: 'H' header, 'V' voice, 'E' voice with the end mark, 'T' tick;
// from address .1 or .2 at `at` ms; what the rules say (ignored for 'T').
struct step {
  char what;
  int from;
  std::int64_t at;
  v expected = v::relay;
};

struct floor_case {
  const char* name;
  bool one_talker;
  std::uint32_t max_over_ms;
  std::vector<step> steps;
};

const floor_case floor_cases[] = {
    {"a second talker is refused, its voice dropped after the first ends",
     true,
     0,
     {{'H', 1, 0},
      {'H', 2, 10, v::refuse},
      {'V', 2, 20, v::drop},
      {'V', 1, 20},
      {'E', 1, 40},
      {'V', 2, 60, v::drop},
      {'E', 2, 80, v::drop},
      {'H', 2, 100}}},
    {"voice without a header waits for the conference to be free",
     true,
     0,
     {{'H', 1, 0}, {'V', 2, 20, v::drop}, {'E', 1, 40}, {'V', 2, 60}}},
    {"the talker's silence frees the conference",
     true,
     0,
     {{'H', 1, 0},
      {'V', 1, 20},
      {'T', 0, 2019},
      {'H', 2, 2019, v::refuse},
      {'T', 0, 2020},
      {'H', 2, 2030}}},
    {"a new header from the talker keeps the conference",
     true,
     0,
     {{'H', 1, 0}, {'H', 1, 500}, {'H', 2, 510, v::refuse}}},
    {"an over is cut at the limit, the rest of it dropped",
     false,
     1000,
     {{'H', 1, 0},
      {'V', 1, 980},
      {'V', 1, 1000, v::drop},
      {'E', 1, 1020, v::drop},
      {'V', 1, 1040},
      {'H', 1, 1100},
      {'V', 1, 1120}}},
    {"the clock cuts an over and frees the conference",
     true,
     1000,
     {{'H', 1, 0}, {'V', 1, 900}, {'T', 0, 1000}, {'H', 2, 1010}, {'V', 1, 1020, v::drop}}},
    {"without a limit a long over goes on",
     false,
     0,
     {{'H', 1, 0}, {'V', 1, 1900}, {'V', 1, 3800}}},
};

TEST(FloorRules, DecideEveryHeaderAndVoicePacket) {
  for (const floor_case& fc : floor_cases) {
    SCOPED_TRACE(fc.name);
    harness h;
    stream_log log;
    log.start(h.net, 3600, 0, 0);
    conference_rules rules;
    rules.start(fc.one_talker, fc.max_over_ms, &log);
    for (const step& s : fc.steps) {
      const std::uint32_t from = ip(127, 0, 0, s.from);
      const auto hd = header_from("TALKER" + std::to_string(s.from));
      v got = v::relay;
      if (s.what == 'T') {
        rules.tick(h.conf, s.at);
        continue;
      }
      if (s.what == 'H') {
        got = rules.header(h.conf, from, hd.data(), s.at);
        // The stream log follows what was relayed, as the server does.
        if (got == v::relay) log.header_relayed(from, record::make(record::tag_acc), s.at);
      } else {
        got = rules.voice(h.conf, from, voice_packet(1, s.what == 'E').data(), s.at);
      }
      EXPECT_EQ(got, s.expected) << s.what << " from ." << s.from << " at " << s.at;
    }
  }
}

// What a refusal and a cut leave behind: the undelivered acknowledgement to
// the refused speaker, the lines, the REF record and an END record, how 4.
TEST(FloorRules, RefusalsAndCutsAreAnsweredAndReported) {
  harness h;
  stream_log log;
  log.start(h.net, 3600, 0, 0);
  conference_rules rules;
  rules.start(true, 2000, &log);
  const auto a = header_from("DL1AAA  ");
  const auto b = header_from("DL2BBB  ");
  ASSERT_EQ(rules.header(h.conf, ip(127, 0, 0, 1), a.data(), 0), v::relay);
  log.header_relayed(ip(127, 0, 0, 1), record::make(record::tag_acc), 0);
  ASSERT_EQ(rules.header(h.conf, ip(127, 0, 0, 2), b.data(), 10), v::refuse);
  ASSERT_EQ(h.net.node_sends.size(), 12u);  // the acknowledgement
  EXPECT_EQ(h.net.node_sends[0].ip, ip(127, 0, 0, 2));
  EXPECT_EQ(h.net.node_sends[0].bytes[hdr::flag1], 0x01);
  EXPECT_EQ(std::string(h.net.node_sends[0].bytes.begin() + hdr::your_call,
                        h.net.node_sends[0].bytes.begin() + hdr::your_call + 8),
            "DL2BBB  ");
  EXPECT_EQ(rules.voice(h.conf, ip(127, 0, 0, 1), voice_packet(1).data(), 1000), v::relay);
  rules.tick(h.conf, 2000);
  EXPECT_EQ(h.log_text(),
            "TS Refused Header Packet from DL2BBB   while DL1AAA   talks\n"
            "TS Over from DL1AAA   timed out after 2 s\n");
  ASSERT_EQ(h.net.records.size(), 3u);  // RUN, REF, END
  EXPECT_EQ(std::string(h.net.records[1].begin(), h.net.records[1].begin() + 4), "REF ");
  EXPECT_EQ(std::string(h.net.records[1].begin() + record::talker, h.net.records[1].end()),
            "DL1AAA  DL2BBB  ");
  EXPECT_EQ(h.net.records[2][record::end_how], record::end_by_timeout);
}

struct echo_fixture : ::testing::Test {
  harness h;
  echo_test echo;
  const std::uint32_t speaker = ip(127, 0, 0, 5);
  void SetUp() override { echo.start("ECHO", true); }
  bool record_over(std::uint32_t from, int packets, bool end_mark, std::int64_t at = 0) {
    const auto hd = header_from("TESTER  ", "ECHO    ");
    if (!echo.header(from, hd.data(), at)) return false;
    for (int i = 0; i < packets; ++i)
      echo.voice(from,
                 voice_packet(static_cast<std::uint8_t>(i), end_mark && i + 1 == packets).data(),
                 at + 20 * (i + 1));
    return true;
  }
};

// The playback's header is addressed from the echo call to the speaker; its
// packets leave 20 ms apart, as received, the last marked as the end even
// when the sender's mark was lost.
TEST_F(echo_fixture, PlaysBackTheRecordingToItsSenderAtThePaceItCame) {
  for (bool end_mark : {true, false}) {
    SCOPED_TRACE(end_mark ? "ended by its mark" : "ended by silence");
    h.net.node_sends.clear();
    ASSERT_TRUE(record_over(speaker, 5, end_mark));
    const std::int64_t start = end_mark ? 100 : 100 + stream_silence_ms;
    echo.tick(h.conf, start);
    ASSERT_EQ(h.net.node_sends.size(), 1u);
    const auto& hd = h.net.node_sends[0].bytes;
    EXPECT_EQ(std::string(hd.begin() + hdr::your_call, hd.begin() + hdr::my_call + 8),
              "TESTER  ECHO    ");
    EXPECT_EQ(echo.next_due_ms(), start + 20);
    echo.tick(h.conf, start + 59);  // two more are due
    EXPECT_EQ(h.net.node_sends.size(), 3u);
    echo.tick(h.conf, start + 100);
    ASSERT_EQ(h.net.node_sends.size(), 6u);
    for (std::size_t i = 1; i < 6; ++i) {
      EXPECT_EQ(h.net.node_sends[i].ip, speaker);
      EXPECT_EQ(h.net.node_sends[i].bytes[voice::slow_data], i - 1);
    }
    EXPECT_TRUE(voice::ends_stream(h.net.node_sends[5].bytes.data()));
    EXPECT_EQ(echo.next_due_ms(), -1);
  }
}

// A failed playback send is reported and repeated as the relay's: the
// header's line on the console alone, a voice packet's in the log file too,
// only want of buffer space sent again.
TEST_F(echo_fixture, PlaybackSendFailuresAreReportedAsTheRelayReportsThem) {
  h.net.failures = {EHOSTUNREACH, ENOBUFS};
  ASSERT_TRUE(record_over(speaker, 2, true));
  echo.tick(h.conf, 100);
  echo.tick(h.conf, 200);
  EXPECT_EQ(h.net.node_sends.size(), 4u);
  EXPECT_EQ(h.net.waits, (std::vector<int>{50}));
  const std::string voice_line = "send error 2:" + std::to_string(ENOBUFS) + " 500007f\n";
  EXPECT_EQ(h.console_text(),
            "send error 2:" + std::to_string(EHOSTUNREACH) + " 500007f\n" + voice_line);
  EXPECT_EQ(h.log_text(), "TS Echo test from TESTER  : 2 voice packets played back\n" + voice_line);
}

// Eight recordings at once; a ninth header to the echo call is an ordinary
// one, and a recording keeps at most 60 s.
TEST_F(echo_fixture, RecordingsAreBoundedInNumberAndLength) {
  for (int i = 0; i < static_cast<int>(max_echo_tests); ++i)
    EXPECT_TRUE(record_over(ip(127, 0, 1, i), 1, false));
  EXPECT_FALSE(record_over(speaker, 1, false));
  echo.tick(h.conf, stream_silence_ms + 40);  // all eight end and play
  echo.tick(h.conf, stream_silence_ms + 100);
  h.net.node_sends.clear();
  ASSERT_TRUE(record_over(speaker, static_cast<int>(max_echo_packets) + 50, true));
  echo.tick(h.conf, 1000000);
  EXPECT_EQ(h.net.node_sends.size(), 1 + max_echo_packets);
}

}  // namespace
}  // namespace mirx::testing
