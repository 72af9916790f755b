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
// address .N (or each of .N:.M in turn), @ ms; what the rules say: relay, or
// ! refuse, - drop. T@ms: a tick.
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
    // An over is cut at the limit, its end mark too; the sender's headers
    // stay cut until it has been silent, then its next over is relayed.
    {false, 1000, "H1@0 V1@980 V1@1000- E1@1020- V1@1040- H1@1100- T@3100 H1@3100 V1@3120"},
    // The clock cuts an over and frees the conference.
    {true, 1000, "H1@0 V1@900 T@1000 H2@1010 V1@1020-"},
    // Past the bound a header is refused unfollowed, and no voice without a
    // followed stream is relayed until such voice has stopped for 2 s.
    {true, 0, "H1@0 H2:63@10! H64:66@10! E1@40 V2@60- V66@60- T@2059 V66@2060- T@4060 V66@4060"},
    // A cut stream is never pushed out of the table to be heard again.
    {false, 1000, "H1@0 V1@1000- H2:64@1010 H65@1010! V1@1020-"},
    // Repeated headers, or keying up again at once, do not restart the timer.
    {true, 2000, "H1@0 V1@1400 H1@1500 H2@1600! H1@1990 T@2000 H2@2010 H1@3000-"},
    {false, 2000, "H1@0 E1@1000 H1@1500 V1@2000- H1@2500-"},
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
      const std::size_t at_sign = s.find('@');
      const std::int64_t at = std::stoll(s.substr(at_sign + 1));
      if (s[0] == 'T') rules.tick(h.conf, at, at);
      const int first = s[0] == 'T' ? 0 : std::stoi(s.substr(1));
      const std::size_t colon = s.find(':');
      const int last = colon < at_sign ? std::stoi(s.substr(colon + 1)) : first;
      for (int n = first; n <= last && s[0] != 'T'; ++n) {
        const std::uint32_t from = ip(127, 0, 0, static_cast<std::uint8_t>(n));
        v got = v::relay;
        if (s[0] == 'V' || s[0] == 'E')
          got = rules.voice(h.conf, from, voice_packet(1, s[0] == 'E').data(), at);
        if (s[0] == 'H')
          got = rules.header(h.conf, from, header_from("TALKER" + std::to_string(n)).data(), at);
        // The stream log follows what was relayed, as the server does.
        if (s[0] == 'H' && got == v::relay)
          log.header_relayed(from, record::make(record::tag_acc), at);
        EXPECT_EQ(got, s.back() == '!'   ? v::refuse
                       : s.back() == '-' ? v::drop
                                         : v::relay)
            << s << " from ." << n;
      }
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
    if (!echo.header(h.conf, from, header_from("TESTER  ", "ECHO    ").data(), 0)) return false;
    for (int i = 0; i < packets; ++i) {
      const auto p = voice_packet(static_cast<std::uint8_t>(i), end_mark && i + 1 == packets);
      echo.voice(from, p.data(), 20 * i + 1);
    }
    return true;
  };
  for (int i = 0; i < static_cast<int>(max_echo_tests); ++i)
    EXPECT_TRUE(record_over(ip(127, 0, 1, i), 1, false));
  EXPECT_FALSE(record_over(ip(127, 0, 0, 5), 1, false));
  echo.tick(h.conf, stream_silence_ms + 40, stream_silence_ms + 40);  // all eight end and play
  echo.tick(h.conf, stream_silence_ms + 100, stream_silence_ms + 100);
  ASSERT_EQ(h.net.node_sends.size(), 2 * max_echo_tests);
  for (const auto& sent : h.net.node_sends)
    EXPECT_TRUE(sent.bytes.size() != voice::size || voice::ends_stream(sent.bytes.data()));
  h.net.node_sends.clear();
  ASSERT_TRUE(record_over(ip(127, 0, 0, 5), static_cast<int>(max_echo_packets) + 50, true));
  echo.tick(h.conf, 1000000, 1000000);
  ASSERT_EQ(h.net.node_sends.size(), 1 + max_echo_packets);
  bool in_order = true;
  for (std::size_t i = 1; i < h.net.node_sends.size(); ++i)
    in_order = in_order && h.net.node_sends[i].bytes[voice::slow_data] == ((i - 1) & 0xff);
  EXPECT_TRUE(in_order);
  EXPECT_TRUE(voice::ends_stream(h.net.node_sends.back().bytes.data()));
}

// A packet every 1.9 s keeps a recording from falling silent, yet it ends
// 60 s after its header, and the sender's later voice stays held back until
// it is silent. The ECH record names the node as it was at the header.
TEST(FloorRules, AnEchoRecordingEndsAtItsBoundAndKeepsItsNodeNames) {
  harness h;
  echo_test echo;
  echo.start("ECHO", true);
  const std::uint32_t from = ip(127, 0, 0, 5);
  h.conf.table.append({callsign_of("NODEA   "), callsign_of("NODEA  B"), from});
  ASSERT_TRUE(echo.header(h.conf, from, header_from("TESTER  ", "ECHO    ").data(), 0));
  h.conf.table.remove(h.conf.table.first_at(from));
  std::int64_t t = 0;
  while ((t += 1900) < max_echo_ms + 4000) {
    EXPECT_TRUE(echo.voice(from, voice_packet(1).data(), t)) << t;
    echo.tick(h.conf, t, t);
  }
  ASSERT_EQ(h.net.records.size(), 1u);
  EXPECT_EQ(std::string(h.net.records[0].begin() + record::call1,
                        h.net.records[0].begin() + record::call1 + 16),
            "NODEA   NODEA  B");
  echo.tick(h.conf, t + stream_silence_ms, t + stream_silence_ms);
  EXPECT_FALSE(echo.voice(from, voice_packet(1).data(), t + stream_silence_ms));
}

}  // namespace
}  // namespace mirx::testing
