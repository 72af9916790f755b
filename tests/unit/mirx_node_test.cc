// The node tool's own logic: its command line, and what it makes of the
// streams that reach it, acknowledgements from the server's own code included.

#include <gtest/gtest.h>

#include "mirx_node/options.h"
#include "mirx_node/position_report.h"
#include "mirx_node/stream_monitor.h"
#include "node/ack.h"
#include "nodelib/packets.h"
#include "nodelib/slow_stream.h"
#include "unit/harness.h"

namespace mirx::node_tool {
namespace {

parse_result parse(std::vector<const char*> args) {
  args.insert(args.begin(), "mirx_node");
  return parse_command_line(static_cast<int>(args.size()), args.data());
}

TEST(NodeToolOptions, AcceptsEachCommandWithItsOptions) {
  auto r = parse({"transmit", "--server", "gw.example", "--my-call", "N0CALL", "--text",
                  "twenty characters ok", "--frames=42", "--flat-out", "--in-port", "1234",
                  "--out-port", "1235", "--bind", "127.0.0.4", "--timeout", "0.25"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.opts.cmd, command::transmit);
  EXPECT_EQ(r.opts.server, "gw.example");
  EXPECT_EQ(r.opts.my_call, "N0CALL");
  EXPECT_EQ(r.opts.your_call, "CQCQCQ");
  EXPECT_EQ(r.opts.text, "twenty characters ok");
  EXPECT_EQ(r.opts.frames, 42u);
  EXPECT_TRUE(r.opts.flat_out);
  EXPECT_EQ(r.opts.in_port, 1234);
  EXPECT_EQ(r.opts.out_port, 1235);
  EXPECT_EQ(r.opts.bind, "127.0.0.4");
  EXPECT_EQ(r.opts.timeout_ms, 250);

  r = parse({"listen", "--server", "127.0.0.1", "--call1", "EIGHTCHR"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.opts.cmd, command::listen);
  EXPECT_EQ(r.opts.in_port, 39999);
  EXPECT_EQ(r.opts.out_port, 39998);
  EXPECT_EQ(r.opts.call1, "EIGHTCHR");
  EXPECT_EQ(parse({"help"}).opts.cmd, command::help);
}

TEST(NodeToolOptions, RefusesWhatCannotWork) {
  const std::string long_position(257, 'p');
  const std::string long_position_refused =
      "position \"" + long_position + "\" (--position) is longer than 256 bytes";
  const struct {
    std::vector<const char*> args;
    const char* error;
  } cases[] = {
      {{}, "no command given"},
      {{"shout"}, "unknown command \"shout\""},
      {{"register", "--server", "h", "--call1", "NINECHARS"},
       "call sign \"NINECHARS\" (--call1) is longer than 8 bytes"},
      {{"transmit", "--server", "h", "--my-call", "ABCDEFGHI"},
       "call sign \"ABCDEFGHI\" (--my-call) is longer than 8 bytes"},
      {{"register", "--server", "h"}, "--call1 CALL is required"},
      {{"transmit", "--server", "h"}, "--my-call CALL is required"},
      {{"listen", "--call1", "A"}, "--server HOST is required"},
      {{"register", "--server", "h", "--call1", "A", "--in-port", "0"},
       "--in-port wants a port number from 1 to 65535, not \"0\""},
      {{"register", "--server", "h", "--call1", "A", "--out-port", "70000"},
       "--out-port wants a port number from 1 to 65535, not \"70000\""},
      {{"transmit", "--server", "h", "--my-call", "A", "--frames", "12x"},
       "--frames wants a number from 1 to 1000000, not \"12x\""},
      {{"transmit", "--server", "h", "--my-call", "A", "--text", "twenty-one characters"},
       "text message \"twenty-one characters\" (--text) is longer than 20 bytes"},
      {{"register", "--server", "h", "--call1", "A", "--timeout", "-1"},
       "--timeout wants seconds above 0 and up to 3600, not \"-1\""},
      {{"register", "--server", "h", "--call1", "A", "--timeout", "0x1p3"},
       "--timeout wants seconds above 0 and up to 3600, not \"0x1p3\""},
      {{"register", "--server", "h", "--call1", "A", "--timeout", "1e1"},
       "--timeout wants seconds above 0 and up to 3600, not \"1e1\""},
      {{"transmit", "--server", "h", "--my-call", "A", "--call2", "X"}, "--call2 needs --call1"},
      {{"transmit", "--server", "h", "--my-call", "A", "--position", long_position.c_str()},
       long_position_refused.c_str()},
      {{"listen", "--server", "h", "--call1", "A", "--text", "hi"},
       "--text does not apply to listen"},
      {{"register", "--server"}, "--server needs a value"},
      {{"register", "--loud"}, "unknown option \"--loud\""},
  };
  for (const auto& c : cases) EXPECT_EQ(parse(c.args).error, c.error);
}

// What the tool sends is what its listener reads back, for both kinds of
// report, in all four quarters of the globe.
TEST(NodeToolPosition, ReportsReadBackAsSent) {
  const std::time_t noon = 1796644800;  // 2026-12-07 12:00:00 UTC
  EXPECT_EQ(gps_report({48.1173, 11.51667, 520}, "N1TEST", "Hello", noon),
            "$GPRMC,120000.00,A,4807.0380,N,01131.0002,E,0.0,0.0,071226,,,A*5D\r\n"
            "$GPGGA,120000.00,4807.0380,N,01131.0002,E,1,08,1.0,520.0,M,,M,,*7F\r\n"
            "N1TEST  ,Hello               \r\n");
  const struct {
    double lat, lon;
    std::string nmea, aprs;  // the position as the listener shows it
  } rows[] = {
      {48.1173, 11.51667, "48.11730 N 11.51667 E", "48.11733 N 11.51667 E"},
      {-33.86785, -151.20732, "33.86785 S 151.20732 W", "33.86783 S 151.20733 W"},
      {0.99999999, 179.999999, "1.00000 N 180.00000 E", "1.00000 N 180.00000 E"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(describe_position(gps_report({r.lat, r.lon, {}}, "N1TEST", "", noon)),
              (std::vector<std::string>{"position " + r.nmea + " (GPS $GPRMC, checksum ok)",
                                        "position " + r.nmea + " (GPS $GPGGA, checksum ok)",
                                        "identification \"N1TEST  \" \"                    \""}));
    const std::string aprs = aprs_report({{r.lat, r.lon, {}}, "/-", "hi"}, "OH3BK-D");
    EXPECT_EQ(
        describe_position(aprs + aprs),
        std::vector<std::string>{"position " + r.aprs + " (GPS-A, CRC ok) from OH3BK-D, 2 times"});
  }
}

TEST(NodeToolPosition, AprsSourceFollowsTheCallSignsSuffix) {
  const std::pair<const char*, std::optional<std::string>> rows[] = {
      {"N1TEST", "N1TEST"},     {"N1TEST  ", "N1TEST"},    {"OH3BK  D", "OH3BK-D"},
      {"N1TEST 9", "N1TEST-9"}, {"N1TEST-9", "N1TEST-9"},  {"N1TEST-", std::nullopt},
      {"n1test", std::nullopt}, {"N1/TEST", std::nullopt}, {"ABCDEFG", std::nullopt},
  };
  for (const auto& [call, want] : rows) EXPECT_EQ(aprs_source(call), want) << call;
}

// The listener believes no position whose check fails, and says why.
TEST(NodeToolPosition, RefusesMalformedReports) {
  const std::string example =
      "OH3BK-D>APRATS,DSTAR*:@165340h6128.23N/02353.52E-D-RATS (GPS-A) /A=000377\r";
  const std::string rmc = "$GPRMC,120000.00,A,4807.0380,N,01131.0002,E,0.0,0.0,071226,,,A";
  const std::pair<std::string, std::string> rows[] = {
      // bytes, the start of the one line
      {"$$CRCB727," + example, "61.47050 N 23.89200 E (GPS-A, CRC ok) from OH3BK-D"},
      {"$$CRCB728," + example,
       "report refused (GPS-A): CRC B728 given, B727 computed, in \"$$CRCB728," +
           example.substr(0, example.size() - 1) + "\""},
      {"$$CRCB727," + example.substr(0, 40), "report incomplete (GPS-A): no carriage return after"},
      {"$$CRC12G4,x\r", "report refused (GPS-A): no CRC field in \"$$CRC12G4,x\""},
      {slow::gps_a_line("A>API:!4807.04X/01131.00E-"),
       "report refused (GPS-A, CRC ok): no position"},
      {rmc + "*44\r\n", "report refused (GPS $GPRMC): checksum 44 given, 5D computed"},
      {rmc + "\r\n", "report refused (GPS $GPRMC): no checksum in"},
      {slow::nmea_sentence("GPRMC,120000.00,V,,,,,,,071226,,,N"),
       "report refused (GPS $GPRMC, checksum ok): no fix"},
  };
  for (const auto& [bytes, want] : rows) {
    const auto got = describe_position(bytes);
    ASSERT_EQ(got.size(), 1u) << bytes;
    EXPECT_EQ(got[0].substr(0, want.size() + 9), "position " + want);
  }
}

// Collects what a monitor reports.
struct recorder {
  stream_monitor monitor;
  std::vector<std::string> lines;
  std::vector<std::optional<ack_verdict>> verdicts;
  recorder() {
    monitor.on_header = [this](const header_view& h) { lines.push_back(describe_header(h)); };
    monitor.on_end = [this](const stream& s) {
      for (const auto& line : describe_stream(s)) lines.push_back(line);
      verdicts.push_back(acknowledgement_of(s));
      if (verdicts.back()) lines.push_back(describe_ack(*verdicts.back(), s));
    };
  }
  template <typename Bytes>
  void take(const Bytes& b, stream_monitor::clock::time_point at = {}) {
    monitor.take(b.data(), b.size(), at);
  }
};

TEST(NodeToolMonitor, ReportsAStreamWithItsSlowDataAtTheLastFrameFlag) {
  recorder r;
  nodes::header_fields h;
  h.my_call = "SPEAKER";
  h.my_suffix = "ID51";
  h.flags[2] = 0x7f;
  r.take(nodes::make_header(h));
  const slow::stream_encoder e("Hello conference", "!49\r");
  for (std::uint16_t i = 0; i < 30; ++i) {
    const std::uint16_t last = i == 29 ? 0x40 : 0;
    if (i != 3) r.take(nodes::make_voice((i % 21) | last, e.frame(i)));  // frame 3 is lost
  }
  const std::vector<std::string> want = {
      "header: my_call \"SPEAKER \" suffix \"ID51\" your_call \"CQCQCQ  \" rpt1 \"        \" "
      "rpt2 \"        \" flags 00 00 7f",
      "end of stream from \"SPEAKER \": 29 voice packets",
      "  text message \"Hello?????erence    \" (incomplete)",
      "  position \"!49\\r\"",
      "  slow data: 1 block halves lost",
  };
  EXPECT_EQ(r.lines, want);
  ASSERT_EQ(r.verdicts.size(), 1u);
  EXPECT_FALSE(r.verdicts[0]);  // an ordinary stream is no acknowledgement
}

TEST(NodeToolMonitor, RecognisesBothAcknowledgementsTheServerSends) {
  for (bool delivered : {true, false}) {
    testing::harness h;
    h.conf.last_node_call = callsign_of("NODE1");
    h.conf.last_my_call = callsign_of("SPEAKER");
    send_ack_transmission(h.conf, testing::ip(127, 0, 0, 9), delivered);
    recorder r;
    for (const auto& sent : h.net.node_sends) r.take(sent.bytes);
    ASSERT_EQ(r.verdicts.size(), 1u);  // the closing frame ended the stream
    ASSERT_TRUE(r.verdicts[0]);
    const std::string text = delivered ? ack::delivered_text : ack::undelivered_text;
    EXPECT_EQ(r.lines.back(), std::string("acknowledgement: ") +
                                  (delivered ? "delivered" : "not delivered") +
                                  ", text message \"" + text + "\"");
    EXPECT_EQ(r.lines[r.lines.size() - 2], "  text message \"" + text + "\"");
  }
}

TEST(NodeToolMonitor, EndsAStreamAtTheNextHeaderOrWhenItGoesQuiet) {
  recorder r;
  const auto t0 = stream_monitor::clock::now();
  nodes::header_fields h;
  h.my_call = "ONE";
  r.take(nodes::make_header(h), t0);
  r.take(nodes::make_voice(1, slow::scramble(slow::filler)), t0);
  h.my_call = "TWO";
  r.take(nodes::make_header(h), t0);
  EXPECT_EQ(r.verdicts.size(), 1u);
  r.take(nodes::make_voice(1, slow::scramble(slow::filler)), t0);
  r.monitor.tick(t0 + stream_monitor::quiet_limit / 2);
  EXPECT_EQ(r.verdicts.size(), 1u);
  r.monitor.tick(t0 + stream_monitor::quiet_limit);
  ASSERT_EQ(r.verdicts.size(), 2u);
  EXPECT_EQ(r.lines.back(), "end of stream from \"TWO     \": 1 voice packet");
  r.take(std::vector<std::uint8_t>(40, 0), t0);  // not a stream datagram
  r.monitor.finish();
  EXPECT_EQ(r.verdicts.size(), 2u);
}

TEST(NodeToolMonitor, QuotesCallSignsUpToTheirFirstZeroAndEscapesOddBytes) {
  EXPECT_EQ(quoted(field{'A', 'B', 0, 'C', 0, 0, 0, 0}), "\"AB\"");
  EXPECT_EQ(quoted(field{'1', '2', '3', '4', '5', '6', '7', '8'}), "\"12345678\"");
  EXPECT_EQ(quoted(std::string("a\"b\\c\r\n\x01\xff", 9)), "\"a\\\"b\\\\c\\r\\n\\x01\\xff\"");
}

}  // namespace
}  // namespace mirx::node_tool
