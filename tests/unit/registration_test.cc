#include "node/registration.h"

#include <gtest/gtest.h>

#include <cstring>

#include "monitor/log_record.h"
#include "node/relay.h"
#include "unit/harness.h"

namespace mirx::testing {
namespace {

// A 40-byte request; call fields are taken as 8 raw bytes so tests can put
// zero bytes and spaces exactly where they want them.
std::array<std::uint8_t, 40> request(const char (&call1)[9], const char (&call2)[9],
                                     const char* id = "RS") {
  std::array<std::uint8_t, 40> r{};
  std::memcpy(r.data(), id, 2);
  for (int i = 2; i < 8; ++i) r[i] = static_cast<std::uint8_t>(0x10 + i);
  std::memcpy(r.data() + 8, call1, 8);
  std::memcpy(r.data() + 16, call2, 8);
  for (int i = 24; i < 40; ++i) r[i] = 0xEE;
  return r;
}

void receive_request(harness& h, const std::array<std::uint8_t, 40>& r, std::uint32_t from) {
  send_registration_reply(h.conf, r.data(), from);
  register_node(h.conf, from, r.data());
}

TEST(Registration, FirstRegistrationRepliesThenAddsAndReports) {
  harness h(/*debug=*/true);
  const auto r = request("N0CALL B", "GATEWAY1");
  receive_request(h, r, ip(127, 0, 0, 2));

  ASSERT_EQ(h.net.node_sends.size(), 1u);
  std::vector<std::uint8_t> expected(r.begin(), r.begin() + 16);
  expected[0] = 'S';
  expected[1] = 'A';
  EXPECT_EQ(h.net.node_sends[0].bytes, expected);
  EXPECT_EQ(h.net.node_sends[0].ip, ip(127, 0, 0, 2));

  const std::string lines =
      "Not found entry table: GATEWAY1 N0CALL B\n"
      "TS Node IP address added N0CALL B GATEWAY1 127.0.0.2\n";
  EXPECT_EQ(h.console_text(), lines);
  EXPECT_EQ(h.log_text(), lines);

  EXPECT_EQ(h.conf.table.entries().back().ip, ip(127, 0, 0, 2));
  ASSERT_EQ(h.net.records.size(), 1u);  // unset bytes 4..7 and 28..31 are zero
  EXPECT_EQ(std::string(h.net.records[0].begin(), h.net.records[0].end()),
            std::string("ADD \0\0\0\0N0CALL BGATEWAY1\x7f\0\0\x02\0\0\0\0", 32));
}

TEST(Registration, LinesFollowTheSwitchesButTheLogFileGetsThemAll) {
  struct row {
    bool debug, info;
  };
  const std::string log =
      "Not found entry table: NAME1 CALL1\n"
      "TS Node IP address added CALL1 NAME1 10.0.0.1\n"
      "TS Node IP address updated CALL1 NAME1 from 10.0.0.1 to 10.0.0.2\n"
      "TS Deleted from table: NAME2 CALL1\n";
  const row rows[] = {{false, false}, {false, true}, {true, false}};
  for (const row& r : rows) {
    harness h(r.debug, r.info);
    receive_request(h, request("CALL1\0\0\0", "NAME1\0\0\0"), ip(10, 0, 0, 1));
    receive_request(h, request("CALL1\0\0\0", "NAME2\0\0\0"), ip(10, 0, 0, 2));
    remove_node(h.conf, ip(10, 0, 0, 2));
    // The not-found line shows under debug alone; the others under either.
    const std::string shown = r.debug ? log : r.info ? log.substr(log.find('\n') + 1) : "";
    EXPECT_EQ(h.log_text(), log) << r.debug << r.info;
    EXPECT_EQ(h.console_text(), shown) << r.debug << r.info;
  }
}

TEST(Registration, SameAddressChangesNothingAndMoveKeepsThePlace) {
  harness h(false, true);
  receive_request(h, request("AAAAAAAA", "first   "), ip(10, 0, 0, 1));
  receive_request(h, request("BBBBBBBB", "second  "), ip(10, 0, 0, 2));
  const std::string before = h.console_text();
  const std::size_t records_before = h.net.records.size();

  // Same call sign, same address, another call2: a reply and nothing else.
  receive_request(h, request("AAAAAAAA", "changed "), ip(10, 0, 0, 1));
  EXPECT_EQ(h.console_text(), before);
  EXPECT_EQ(text_of(h.conf.table.entries()[0].call2), "first   ");
  EXPECT_EQ(h.net.node_sends.size(), 3u);

  // From a new address: moved in place, call2 refreshed, no record.
  receive_request(h, request("AAAAAAAA", "moved   "), ip(10, 0, 0, 9));
  EXPECT_EQ(h.console_text().substr(before.size()),
            "TS Node IP address updated AAAAAAAA first    from 10.0.0.1 to 10.0.0.9\n");
  ASSERT_EQ(h.conf.table.entries().size(), 2u);
  EXPECT_EQ(text_of(h.conf.table.entries()[0].call1), "AAAAAAAA");
  EXPECT_EQ(h.conf.table.entries()[0].ip, ip(10, 0, 0, 9));
  EXPECT_EQ(text_of(h.conf.table.entries()[0].call2), "moved   ");
  EXPECT_EQ(h.net.records.size(), records_before);
  EXPECT_EQ(h.net.node_sends.size(), 4u);  // every accepted request is answered
}

TEST(Registration, DisconnectRemovesFirstEntryAtTheAddressOnly) {
  harness h;
  receive_request(h, request("ONE     ", "n1      "), ip(10, 0, 0, 5));
  receive_request(h, request("OTHER   ", "n9      "), ip(10, 0, 0, 6));
  receive_request(h, request("TWO     ", "n2      "), ip(10, 0, 0, 5));
  h.net.records.clear();

  remove_node(h.conf, ip(10, 0, 0, 7));  // unknown address: nothing at all
  EXPECT_TRUE(h.net.records.empty());
  EXPECT_EQ(h.conf.table.entries().size(), 3u);

  remove_node(h.conf, ip(10, 0, 0, 5));
  ASSERT_EQ(h.conf.table.entries().size(), 2u);
  EXPECT_EQ(text_of(h.conf.table.entries()[0].call1), "OTHER   ");
  EXPECT_EQ(text_of(h.conf.table.entries().back().call1), "TWO     ");
  ASSERT_EQ(h.net.records.size(), 1u);
  EXPECT_EQ(std::string(h.net.records[0].begin(), h.net.records[0].begin() + 24),
            std::string("DEL \0\0\0\0ONE     n1      ", 24));

  remove_node(h.conf, ip(10, 0, 0, 5));  // the last entry goes: the one before is the tail
  ASSERT_EQ(h.conf.table.entries().size(), 1u);
  EXPECT_EQ(text_of(h.conf.table.entries().back().call1), "OTHER   ");
  remove_node(h.conf, ip(10, 0, 0, 6));
  EXPECT_TRUE(h.conf.table.empty());

  receive_request(h, request("AFTER   ", "n3      "), ip(10, 0, 0, 6));
  EXPECT_EQ(text_of(h.conf.table.entries().back().call1), "AFTER   ");
  EXPECT_NE(h.log_text().find("Deleted from table: n1       ONE     \n"), std::string::npos);
}

TEST(Registration, CallSignValueEndsAtTheFirstZeroByte) {
  harness h;
  receive_request(h, request("ABC\0WXYZ", "x\0\0\0\0\0\0\0"), ip(10, 0, 0, 1));
  ASSERT_EQ(h.conf.table.entries().size(), 1u);
  const callsign stored = h.conf.table.entries()[0].call1;
  EXPECT_EQ(stored, (callsign{'A', 'B', 'C', 0, 0, 0, 0, 0}));

  // The same value with other bytes after the zero: the same node, moving.
  receive_request(h, request("ABC\0\0\0\0\0", "x\0\0\0\0\0\0\0"), ip(10, 0, 0, 2));
  EXPECT_EQ(h.conf.table.entries().size(), 1u);
  EXPECT_EQ(h.conf.table.entries()[0].ip, ip(10, 0, 0, 2));

  // Spaces are not zero bytes: another node.
  receive_request(h, request("ABC     ", "x\0\0\0\0\0\0\0"), ip(10, 0, 0, 3));
  EXPECT_EQ(h.conf.table.entries().size(), 2u);

  // The reply still echoes the call sign bytes as received, zero and all.
  const auto& reply = h.net.node_sends[0].bytes;
  EXPECT_EQ(std::string(reply.begin() + 8, reply.end()), std::string("ABC\0WXYZ", 8));
}

}  // namespace
}  // namespace mirx::testing

namespace mirx::testing {
namespace {

// A node chooses its call sign's bytes: line breaks and escapes must not
// reach the console or the log file as such, while everything sent on keeps
// the bytes exactly.
TEST(Registration, ControlCharactersInCallSignsAreShownAsQuestionMarks) {
  harness h(false, true);
  const auto r = request("EVIL\n\x1b[2", "GW\rX\x7f\0\0\0");
  receive_request(h, r, ip(10, 0, 0, 1));
  const std::string line = "TS Node IP address added EVIL??[2 GW?X? 10.0.0.1\n";
  EXPECT_EQ(h.console_text(), line);
  EXPECT_EQ(h.log_text(), "Not found entry table: GW?X? EVIL??[2\n" + line);
  EXPECT_EQ(std::string(h.net.node_sends[0].bytes.begin() + 8, h.net.node_sends[0].bytes.end()),
            "EVIL\n\x1b[2");
  EXPECT_EQ(std::string(h.net.records[0].begin() + 8, h.net.records[0].begin() + 16),
            "EVIL\n\x1b[2");
  EXPECT_EQ(text_of(h.conf.table.entries().back().call1), "EVIL\n\x1b[2");

  std::uint8_t voice[27] = {};
  relay_voice(h.conf, ip(10, 0, 0, 2), voice);
  EXPECT_NE(h.log_text().find("\nSend DV Packet to EVIL??[2\n"), std::string::npos);
}

}  // namespace
}  // namespace mirx::testing
