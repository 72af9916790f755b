// The floor rules' edge cases, step by step on a driven clock, and the echo
// test's limits. The ordinary overlap, cut and playback: conference_rules_test
// (end to end); the playback's send failures are the relay's (relay_test).

#include <gtest/gtest.h>

#include <sstream>

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

// A script of steps: H header, V voice, E voice with the end mark, from
// address .1 or .2, @ ms; what the rules say: relay, or ! refuse, - drop.
// T@ms: a tick.
const struct {
  bool one_talker;
  std::uint32_t max_over_ms;
  const char* script;
} floor_cases[] = {
    // A new header from the talker keeps the conference; a refused stream
    // stays dropped after the talker ends.
    {true, 0, "H1@0 H1@5 H2@10! E1@40 V2@60- H2@100"},
    // Voice without a header waits for the conference to be free.
    {true, 0, "H1@0 V2@20- E1@40 V2@60"},
    // The talker's silence frees the conference, not a ms sooner.
    {true, 0, "H1@0 V1@20 T@2019 H2@2019! T@2020 H2@2030"},
    // An over is cut at the limit, its end mark too; the next over relayed.
    {false, 1000, "H1@0 V1@980 V1@1000- E1@1020- V1@1040 H1@1100 V1@1120"},
    // The clock cuts an over and frees the conference.
    {true, 1000, "H1@0 V1@900 T@1000 H2@1010 V1@1020-"},
};

TEST(FloorRules, DecideEveryHeaderAndVoicePacket) {
  for (const auto& fc : floor_cases) {
    SCOPED_TRACE(fc.script);
    harness h;
    stream_log log;
    log.start(h.net, 3600, 0, 0);
    conference_rules rules;
    rules.start(fc.one_talker, fc.max_over_ms, &log);
    std::istringstream in(fc.script);
    for (std::string s; in >> s;) {
      const std::int64_t at = std::stoll(s.substr(s.find('@') + 1));
      const std::uint32_t from = ip(127, 0, 0, s[1] - '0');
      const auto hd = header_from("TALKER" + s.substr(1, 1));
      v got = v::relay;
      if (s[0] == 'T') rules.tick(h.conf, at);
      if (s[0] == 'V' || s[0] == 'E')
        got = rules.voice(h.conf, from, voice_packet(1, s[0] == 'E').data(), at);
      if (s[0] == 'H') got = rules.header(h.conf, from, hd.data(), at);
      // The stream log follows what was relayed, as the server does.
      if (s[0] == 'H' && got == v::relay)
        log.header_relayed(from, record::make(record::tag_acc), at);
      EXPECT_EQ(got, s.back() == '!' ? v::refuse : s.back() == '-' ? v::drop : v::relay) << s;
    }
  }
}

// Eight recordings at once; a ninth header to the echo call is an ordinary
// one. Ended by silence, a playback still ends with the end mark. A
// recording keeps its first 60 s, played back in order.
TEST(FloorRules, EchoRecordingsAreBoundedInNumberAndLength) {
  harness h;
  echo_test echo;
  echo.start("ECHO", true);
  const auto record_over = [&](std::uint32_t from, int packets, bool end_mark) {
    if (!echo.header(from, header_from("TESTER  ", "ECHO    ").data(), 0)) return false;
    for (int i = 0; i < packets; ++i) {
      const auto p = voice_packet(static_cast<std::uint8_t>(i), end_mark && i + 1 == packets);
      echo.voice(from, p.data(), 20 * (i + 1));
    }
    return true;
  };
  for (int i = 0; i < static_cast<int>(max_echo_tests); ++i)
    EXPECT_TRUE(record_over(ip(127, 0, 1, i), 1, false));
  EXPECT_FALSE(record_over(ip(127, 0, 0, 5), 1, false));
  echo.tick(h.conf, stream_silence_ms + 40);  // all eight end and play
  echo.tick(h.conf, stream_silence_ms + 100);
  ASSERT_EQ(h.net.node_sends.size(), 2 * max_echo_tests);
  for (const auto& sent : h.net.node_sends)
    EXPECT_TRUE(sent.bytes.size() != voice::size || voice::ends_stream(sent.bytes.data()));
  h.net.node_sends.clear();
  ASSERT_TRUE(record_over(ip(127, 0, 0, 5), static_cast<int>(max_echo_packets) + 50, true));
  echo.tick(h.conf, 1000000);
  ASSERT_EQ(h.net.node_sends.size(), 1 + max_echo_packets);
  bool in_order = true;
  for (std::size_t i = 1; i < h.net.node_sends.size(); ++i)
    in_order = in_order && h.net.node_sends[i].bytes[voice::slow_data] == ((i - 1) & 0xff);
  EXPECT_TRUE(in_order);
  EXPECT_TRUE(voice::ends_stream(h.net.node_sends.back().bytes.data()));
}

}  // namespace
}  // namespace mirx::testing
