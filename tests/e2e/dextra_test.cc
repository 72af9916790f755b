// The DExtra door through the real binary: clients at their own loopback
// addresses link, hear the conference in DSVT framing and are heard by the
// nodes in node framing; links between servers carry overs without a loop.

#include <gtest/gtest.h>

#include <thread>

#include "e2e/dextra_client.h"
#include "monitor/log_record.h"
#include "nodelib/packets.h"

namespace mirx::e2e {
namespace {

using dextra::kind;

std::string door_config(std::uint16_t port, const std::string& call = "XRF999") {
  return "DExtraPort=" + std::to_string(port) + ";\nDExtraCall=" + call + ";\n";
}

// A server with a door as XRF999 and `node_count` nodes; `access` is its
// access file when not empty.
struct door_fixture {
  conference_fixture f;
  std::uint16_t door_port = free_udp_port();

  explicit door_fixture(int node_count, const std::string& extra = "",
                        const std::string& access = "")
      : f(node_count) {
    if (!access.empty()) f.server.write_file("access.txt", access);
    // Started as the door is seen: a log server elsewhere shows no line.
    f.server.write_file("mirx_server.cfg", f.config() + door_config(door_port) + extra +
                                               (access.empty() ? "" : "AccessFile=access.txt;\n"));
    f.server.start({"-i"});
    EXPECT_TRUE(f.server.wait_for("DExtra door on port", 5000)) << f.server.out();
  }
  dextra_client client(int n, const std::string& call) const {
    return dextra_client("127.0.0." + std::to_string(20 + n), call, door_port);
  }
};

// Servers XRF100, XRF101, ... with a door and one node registered each;
// server i links to module B of server links_to[i] unless that is -1.
struct linked_servers {
  std::vector<std::unique_ptr<conference_fixture>> s;

  explicit linked_servers(const std::vector<int>& links_to) {
    std::vector<std::uint16_t> ports;
    for (std::size_t i = 0; i < links_to.size(); ++i) ports.push_back(free_udp_port());
    for (std::size_t i = 0; i < links_to.size(); ++i) {
      std::string config = door_config(ports[i], "XRF10" + std::to_string(i));
      if (const int to = links_to[i]; to >= 0)
        config += "DExtraLink=XRF10" + std::to_string(to) +
                  " B 127.0.0.1:" + std::to_string(ports[static_cast<std::size_t>(to)]) + ";\n";
      s.push_back(std::make_unique<conference_fixture>(1));
      s.back()->start({"-i"}, config);
      EXPECT_TRUE(s.back()->server.wait_for("DExtra door on port", 5000));
    }
    for (std::size_t i = 0; i < links_to.size(); ++i) {
      // A request sent before the other server's door was open is asked
      // again after the pause.
      EXPECT_TRUE(links_to[i] < 0 || s[i]->server.wait_for(": linked", 20000))
          << s[i]->server.out();
      register_all(*s[i]);
    }
  }
  const nodes::udp_endpoint& node(std::size_t i) const { return s[i]->nodes[0]; }
};

// A node's stream: a header and `frames` voice packets, the sync every 21
// frames and the end flag on the last.
std::vector<bytes> node_stream(int frames, const std::string& my = "NODETALK") {
  nodes::header_fields h;
  h.my_call = my;
  h.rpt1_call = "CALL0";
  h.rpt2_call = "CALL0";
  std::vector<bytes> s{to_bytes(nodes::make_header(h))};
  for (int i = 0; i < frames; ++i) {
    const bool sync = i % 21 == 0;
    const auto seq = static_cast<std::uint16_t>(i % 21 | (i + 1 == frames ? 0x40 : 0));
    s.push_back(to_bytes(nodes::make_voice(seq, sync ? std::array<std::uint8_t, 3>{0x55, 0x2D, 0x16}
                                                     : std::array<std::uint8_t, 3>{1, 2, 3})));
  }
  return s;
}

// What a node hears of a DExtra client's stream: the same bytes after the
// 15-byte framing, which holds only the kind and the sequence.
void expect_node_framed(const std::vector<bytes>& heard, const std::vector<bytes>& sent) {
  ASSERT_EQ(heard.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(heard[i].size(), sent[i].size());
    EXPECT_TRUE(std::equal(sent[i].begin() + 15, sent[i].end(), heard[i].begin() + 15));
    bytes framing(15, 0);
    framing[8] = i == 0 ? 0x10 : 0x20;
    framing[13] = i == 0 ? 0 : sent[i][14];
    EXPECT_EQ(bytes(heard[i].begin(), heard[i].begin() + 15), framing);
  }
}

TEST(DExtra, ClientHearsANodeAndIsHeardByIt) {
  door_fixture d(2);
  const auto a = d.client(0, "DL1AAA");
  const auto b = d.client(1, "DL1BBB");
  ASSERT_EQ(a.link('B'), kind::answer_ack);
  ASSERT_EQ(b.link('C'), kind::answer_ack);
  EXPECT_TRUE(d.f.server.wait_for("DExtra client DL1BBB   linked from 127.0.0.21:"));
  // Only node 0 is registered: a DExtra client alone hears its over.
  d.f.send(0, nodes::make_registration("CALL0", "GW"));
  ASSERT_TRUE(d.f.nodes[0].receive(2000));

  const auto over = node_stream(30);
  for (const bytes& p : over) d.f.send(0, p);
  const std::uint16_t id = check_dsvt_stream(a.stream_heard(), 30, "XRF999 B");
  EXPECT_NE(check_dsvt_stream(b.stream_heard(), 30, "XRF999 C"), 0);
  const auto ack = received(d.f.nodes[0], 12);
  ASSERT_EQ(ack.size(), 12u);
  EXPECT_EQ(ack[0][15], 0x00) << "delivered: a DExtra client heard it";

  // The next over gets a fresh stream id.
  for (const bytes& p : node_stream(3)) d.f.send(0, p);
  EXPECT_NE(check_dsvt_stream(a.stream_heard(), 3), id);
  received(d.f.nodes[0], 12);
  b.stream_heard(100);

  // A client's over, its header sent three times: one stream, node-framed to
  // the node, DSVT to the other client, back to nobody; no acknowledgement.
  const auto sent = a.make_stream("DL1AAA", 0xBEEF, 25);
  for (int copy = 0; copy < 2; ++copy) a.send(sent[0]);
  for (const bytes& p : sent) a.send(p);
  expect_node_framed(received(d.f.nodes[0], sent.size()), sent);
  check_dsvt_stream(b.stream_heard(), 25, "XRF999 C");
  EXPECT_TRUE(a.stream_heard(300).empty());
  EXPECT_TRUE(received(d.f.nodes[1], 0, 100).empty());

  // A stream from an address that has not linked is dropped.
  const auto stranger = d.client(2, "DL1XXX");
  for (const bytes& p : stranger.make_stream("DL1XXX", 0x0202, 5)) stranger.send(p);
  EXPECT_TRUE(received(d.f.nodes[0], 0, 500).empty());
  EXPECT_TRUE(b.stream_heard(100).empty());

  EXPECT_NE(d.f.server.out().find("Send Header Packet from DL1AAA"), std::string::npos);
  const std::string log = d.f.stop_and_read_log();
  EXPECT_NE(log.find("DExtra client DL1AAA   linked from 127.0.0.20:"), std::string::npos);
}

// The access rules hold for the door as for nodes: a refused call sign gets
// NAK; once the rules deny a linked client's address, it is dropped and
// what it sends is not answered.
TEST(DExtra, TheAccessRulesHoldForLinkingAndLinkedClients) {
  door_fixture d(1, "", "deny DL9BAD\n");
  EXPECT_EQ(d.client(10, "DL9BAD").link(), kind::answer_nak);
  const auto good = d.client(11, "DL1GOOD");
  EXPECT_EQ(good.link(), kind::answer_ack);
  EXPECT_TRUE(d.f.server.wait_for("DExtra client DL9BAD   at 127.0.0.30:"));
  d.f.server.write_file("access.txt", "deny DL9BAD\ndeny 127.0.0.31\n");
  ASSERT_TRUE(d.f.server.wait_for("Access file access.txt reloaded", 10000)) << d.f.server.out();
  EXPECT_TRUE(d.f.server.wait_for("DExtra client DL1GOOD  at 127.0.0.31:")) << d.f.server.out();
  EXPECT_EQ(good.link(), std::nullopt);
}

TEST(DExtra, KeepalivesBothWaysAndTheSilentDropped) {
  door_fixture d(1);
  const auto a = d.client(0, "DL1AAA");
  const auto b = d.client(1, "DL1BBB");
  ASSERT_EQ(a.link(), kind::answer_ack);
  ASSERT_EQ(b.link(), kind::answer_ack);
  bytes alive(9);
  dextra::make_keepalive(alive.data(), "DL1BBB");
  // b keeps alive, a falls silent; both hear the server's keepalives.
  int heard = 0;
  bool dropped = false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(45);
  while (std::chrono::steady_clock::now() < until && !dropped) {
    b.send(alive);
    for (const auto& g : a.socket.drain(100, 100, 3000)) {
      if (g.bytes.size() == 9 && std::memcmp(g.bytes.data(), "XRF999  ", 8) == 0) ++heard;
      if (g.bytes == bytes{' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0}) dropped = true;
    }
  }
  EXPECT_TRUE(dropped);
  EXPECT_GE(heard, 6);  // every 3 s for 30 s, some time lost on a busy machine
  EXPECT_TRUE(d.f.server.wait_for("DExtra client DL1AAA   at 127.0.0.20:"));
  EXPECT_EQ(d.f.server.out().find("DExtra client DL1BBB   at"), std::string::npos);
}

// Server 1 links to server 0: each one's node hears the other's over once,
// its own only as the acknowledgement.
TEST(DExtraLinks, TwoServersCarryOversBothWaysWithoutALoop) {
  const linked_servers n({-1, 0});
  for (const bytes& p : node_stream(21, "DL1AAA")) n.s[0]->send(0, p);
  EXPECT_EQ(received(n.node(1), 22).size(), 22u);
  const auto back = received(n.node(0), 12);
  ASSERT_EQ(back.size(), 12u);
  EXPECT_EQ(back[0][15], 0x00);
  for (const bytes& p : node_stream(21, "DL1BBB")) n.s[1]->send(0, p);
  EXPECT_EQ(received(n.node(0), 22).size(), 22u);
  EXPECT_EQ(received(n.node(1), 12).size(), 12u);
}

TEST(DExtraLinks, ATriangleOfServersCarriesEachOverOnce) {
  const linked_servers n({1, 2, 0});
  for (const bytes& p : node_stream(21, "DL1TRI")) n.s[0]->send(0, p);
  EXPECT_EQ(received(n.node(1), 22, 1000).size(), 22u);
  EXPECT_EQ(received(n.node(2), 22, 1000).size(), 22u);
  EXPECT_EQ(received(n.node(0), 12, 1000).size(), 12u) << "only its acknowledgement";
}

// The conference rules judge a DExtra client's stream as a node's.
TEST(DExtra, OneTalkerHoldsAgainstADoorStream) {
  door_fixture d(2, "OneTalker=ON;\n");
  register_all(d.f);
  const auto a = d.client(0, "DL1AAA");
  ASSERT_EQ(a.link(), kind::answer_ack);
  auto held = node_stream(3, "NODETALK");
  held.back()[13] &= 0x3f;  // no end mark: node 0 holds the conference
  for (const bytes& p : held) d.f.send(0, p);
  EXPECT_EQ(received(d.f.nodes[1], 4).size(), 4u);
  for (const bytes& p : a.make_stream("DL1AAA", 0x0303, 5)) a.send(p);
  EXPECT_TRUE(received(d.f.nodes[1], 0, 500).empty());
  EXPECT_TRUE(d.f.server.wait_for("Refused Header Packet from DL1AAA   while NODETALK talks"));
  // Once node 0's over has ended, the client is heard.
  d.f.send(0, to_bytes(nodes::make_voice(0x43, {1, 2, 3})));
  EXPECT_EQ(received(d.f.nodes[1], 1).size(), 1u);
  for (const bytes& p : a.make_stream("DL1AAA", 0x0404, 5)) a.send(p);
  EXPECT_EQ(received(d.f.nodes[1], 6).size(), 6u);
}

// An echo test from a DExtra client is played back to it alone, in DSVT.
TEST(DExtra, EchoTestPlaysBackToTheClientAlone) {
  door_fixture d(1, "EchoCall=ECHO;\n");
  register_all(d.f);
  const auto a = d.client(0, "DL1AAA");
  const auto b = d.client(1, "DL1BBB");
  ASSERT_EQ(a.link(), kind::answer_ack);
  ASSERT_EQ(b.link(), kind::answer_ack);
  for (const bytes& p : a.make_stream("DL1AAA", 0x0505, 30, "ECHO")) a.send(p);
  const auto back = a.stream_heard(1000);
  check_dsvt_stream(back, 30, "XRF999 B");
  ASSERT_FALSE(back.empty());
  EXPECT_EQ(std::string(back[0].begin() + dextra::dsvt::my, back[0].begin() + 50), "ECHO    ");
  EXPECT_EQ(std::string(back[0].begin() + dextra::dsvt::your, back[0].begin() + 42), "DL1AAA  ");
  EXPECT_TRUE(b.stream_heard(100).empty());
  EXPECT_TRUE(received(d.f.nodes[0], 0, 100).empty());
}

// The stream log and the rules follow a door's over in one table: cut at the
// limit, it gets one END record, timed out, and none when it falls silent;
// nothing of it is relayed after the cut.
TEST(DExtra, ADoorOverCutByTheLimitEndsOnceTimedOut) {
  std::string why;
  auto log_server = nodes::udp_endpoint::bind("127.0.0.1", 0, &why);
  ASSERT_TRUE(log_server) << why;
  door_fixture d(1, "MaxOverSeconds=1;\nLogStreams=ON;\nLogServer=127.0.0.1;\nLogPort=" +
                        std::to_string(log_server->port()) + ";\n");
  register_all(d.f);
  const auto a = d.client(0, "DL1AAA");
  ASSERT_EQ(a.link(), kind::answer_ack);
  for (const bytes& p : a.make_stream("DL1AAA", 0x0606, 100)) {
    a.send(p);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const auto heard = received(d.f.nodes[0], 0, 3000);
  EXPECT_GE(heard.size(), 30u);
  EXPECT_LE(heard.size(), 60u) << "relayed after the cut";
  std::vector<bytes> ends;
  for (const auto& g : log_server->drain(1000, 100, 5000))
    if (g.bytes.size() == 32 && std::memcmp(g.bytes.data(), "END ", 4) == 0)
      ends.push_back(to_bytes(g.bytes));
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0][record::end_how], record::end_by_timeout);
}

}  // namespace
}  // namespace mirx::e2e
