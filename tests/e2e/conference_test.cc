// The conference between real nodes on loopback addresses: registration,
// relay, acknowledgement and removal through the real binary.

#include <gtest/gtest.h>

#include "e2e/server_process.h"
#include "node/ack.h"
#include "nodelib/packets.h"

namespace mirx::e2e {
namespace {

// A header and `frames` voice packets from node `from`.
std::vector<bytes> send_stream(conference_fixture& f, int from, int frames) {
  std::vector<bytes> stream;
  nodes::header_fields h;
  h.my_call = "SPEAKER";
  stream.push_back(to_bytes(nodes::make_header(h, 0x1234)));
  for (int i = 0; i < frames; ++i)
    stream.push_back(to_bytes(nodes::make_voice(
        static_cast<std::uint16_t>(i), {static_cast<std::uint8_t>(i), 0x11, 0x22}, 0x1234)));
  for (const bytes& b : stream) f.send(from, b);
  return stream;
}

// Checks an acknowledgement transmission and returns whether it is the
// delivered variant.
bool check_ack(const std::vector<bytes>& got) {
  EXPECT_EQ(got.size(), 12u);
  if (got.size() != 12u) return false;
  EXPECT_EQ(got[0].size(), 56u);
  const bool delivered = got[0][15] == 0x00;
  const ack::frames& f = delivered ? ack::delivered_frames : ack::undelivered_frames;
  for (int i = 0; i < 11; ++i) {
    EXPECT_EQ(got[1 + i].size(), 27u);
    EXPECT_EQ(got[1 + i][13], i);
    EXPECT_TRUE(std::equal(f[i].begin(), f[i].end(), got[1 + i].begin() + 15));
  }
  return delivered;
}

TEST(Conference, StreamReachesEveryOtherNodeByteForByteAndIsAcknowledged) {
  conference_fixture f(3);
  f.start({});
  // The reply goes to OutPort from out_socket, not from the receiving socket.
  const auto request = nodes::make_registration("CALL0", "GW");
  f.send(0, request);
  const auto reply = f.nodes[0].receive(2000);
  ASSERT_TRUE(reply);
  bytes expected(request.begin(), request.begin() + 16);
  expected[0] = 'S';
  expected[1] = 'A';
  EXPECT_EQ(reply->bytes, expected);
  EXPECT_EQ(reply->from_ip, f.server_ip);
  EXPECT_NE(reply->from_port, f.in_port);
  register_all(f);  // node 0 again, from the same address: nothing changes

  const auto stream = send_stream(f, 0, 20);
  EXPECT_EQ(received(f.nodes[1], stream.size()), stream);
  EXPECT_EQ(received(f.nodes[2], stream.size()), stream);
  EXPECT_TRUE(check_ack(received(f.nodes[0], 12)));  // the sender hears only the answer

  const std::string log = f.stop_and_read_log();
  for (int i = 0; i < 3; ++i)
    EXPECT_NE(log.find("Node IP address added CALL" + std::to_string(i) + "    GW       127.0.0." +
                       std::to_string(2 + i) + "\n"),
              std::string::npos)
        << log;
  std::size_t dv_lines = 0;
  for (std::size_t at = 0; (at = log.find("Send DV Packet to CALL", at)) != std::string::npos; ++at)
    ++dv_lines;
  EXPECT_EQ(dv_lines, 40u);  // one per voice packet and receiver
}

TEST(Conference, DebugEchoesTheStreamToItsSender) {
  conference_fixture f(2);
  f.start({"-d"});
  register_all(f);
  const auto stream = send_stream(f, 0, 5);
  EXPECT_EQ(received(f.nodes[1], stream.size()), stream);
  auto own = received(f.nodes[0], 18);
  ASSERT_EQ(own.size(), 6u + 12u);
  // The echoed header comes first, then the acknowledgement, then the voice.
  EXPECT_EQ(own[0], stream[0]);
  EXPECT_TRUE(check_ack(std::vector<bytes>(own.begin() + 1, own.begin() + 13)));
  EXPECT_EQ(std::vector<bytes>(own.begin() + 13, own.end()),
            std::vector<bytes>(stream.begin() + 1, stream.end()));
}

TEST(Conference, UnregisteredSenderIsRelayedAndToldNobodyHeardOnlyWhenAlone) {
  conference_fixture f(3);
  f.start({});
  nodes::header_fields lonely;
  lonely.my_call = "LONELY";
  f.send(2, nodes::make_header(lonely));
  EXPECT_FALSE(check_ack(received(f.nodes[2], 12)));  // empty table: not delivered

  f.send(0, nodes::make_registration("CALL0", "GW"));
  ASSERT_TRUE(f.nodes[0].receive(2000));
  const auto stream = send_stream(f, 2, 3);
  EXPECT_EQ(received(f.nodes[0], stream.size()), stream);
  EXPECT_TRUE(check_ack(received(f.nodes[2], 12)));
}

TEST(Conference, DisconnectStopsDeliveryAndMoveFollowsTheNode) {
  conference_fixture f(3);
  f.start({"-i"});
  register_all(f);
  f.send(1, bytes(16, 0x53));  // any 16 bytes: a disconnect
  ASSERT_TRUE(f.server.wait_for("Deleted from table: GW       CALL1   \n"));
  send_stream(f, 0, 2);
  EXPECT_TRUE(received(f.nodes[1]).empty());
  EXPECT_EQ(received(f.nodes[2], 3).size(), 3u);
  received(f.nodes[0], 12);

  // CALL2 now registers from node 1's address: the entry moves there.
  f.send(1, nodes::make_registration("CALL2", "NEWGW"));
  ASSERT_TRUE(f.nodes[1].receive(2000));
  ASSERT_TRUE(
      f.server.wait_for("Node IP address updated CALL2    GW       from 127.0.0.4 to 127.0.0.3\n"));
  send_stream(f, 0, 2);
  EXPECT_EQ(received(f.nodes[1], 3).size(), 3u);
  EXPECT_TRUE(received(f.nodes[2]).empty());

  const std::string log = f.stop_and_read_log();
  EXPECT_NE(log.find("Deleted from table: GW       CALL1   \n"), std::string::npos);
  EXPECT_NE(log.find("updated CALL2    GW       from 127.0.0.4 to 127.0.0.3\n"), std::string::npos);
}

}  // namespace
}  // namespace mirx::e2e
