// The DExtra door alone, over a fake wire that records every datagram and
// fails chosen sends, and fake events that record what it reports.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "dextra/door.h"
#include "node/datagrams.h"

namespace mirx::dextra {
namespace {

using bytes = std::vector<std::uint8_t>;

struct sent {
  bytes data;
  endpoint to;
};

struct fake_wire final : wire {
  std::vector<sent> log;
  std::vector<endpoint> failing;
  int send(const std::uint8_t* data, std::size_t length, const endpoint& to) override {
    if (std::find(failing.begin(), failing.end(), to) != failing.end()) return 105;
    log.push_back({bytes(data, data + length), to});
    return 0;
  }
  std::vector<bytes> to(const endpoint& at, std::size_t length = 0) const {
    std::vector<bytes> out;
    for (const sent& s : log)
      if (s.to == at && (length == 0 || s.data.size() == length)) out.push_back(s.data);
    return out;
  }
};

struct fake_events final : door_events {
  std::vector<std::string> denied;
  std::vector<std::pair<peer_change, std::string>> changes;
  std::vector<bytes> into_conference;
  std::map<std::string, std::uint32_t> hosts;
  bool admits(std::string_view call, std::uint32_t) override {
    return std::find(denied.begin(), denied.end(), call) == denied.end();
  }
  void changed(const peer& p, peer_change what) override {
    changes.emplace_back(what, std::string(p.call_text()));
  }
  void stream_header(const peer&, const std::uint8_t* packet) override {
    into_conference.emplace_back(packet, packet + hdr::size);
  }
  void stream_voice(const peer&, const std::uint8_t* packet) override {
    into_conference.emplace_back(packet, packet + voice::size);
  }
  std::optional<std::uint32_t> resolve(const std::string& host) override {
    const auto it = hosts.find(host);
    return it == hosts.end() ? std::nullopt : std::optional(it->second);
  }
};

constexpr endpoint at_a{0x0100007f, 30001}, at_b{0x0200007f, 30001}, at_b2{0x0200007f, 40000};
const stream_origin node_origin{0, 0x0900007f, 0};

// `n` bytes of a datagram from offset `at`, as text.
std::string field(const bytes& b, std::size_t at, std::size_t n = 8) {
  return std::string(b.begin() + static_cast<std::ptrdiff_t>(at),
                     b.begin() + static_cast<std::ptrdiff_t>(at + n));
}

struct door_test : ::testing::Test {
  fake_wire net;
  fake_events events;
  std::int64_t now = 1000;
  live_streams streams = started();
  door d{{"XRF999", true, 1, 3}, net, events, streams, now};
  const endpoint ref{0x0500007f, 30001};

  static live_streams started() {
    live_streams table;
    table.start();
    return table;
  }
  // A turn of the door's clock, as the server gives it: the door's own, then
  // the table's silence.
  void tick(std::int64_t at) {
    d.tick(at);
    streams.end_silent(at);
  }

  std::optional<kind> link(const endpoint& from, const std::string& call, char module = 'B') {
    bytes request(ctl::request_size);
    make_request(request.data(), call, 'D', module);
    const std::size_t before = net.log.size();
    d.receive(request.data(), request.size(), from, now);
    if (net.log.size() == before) return std::nullopt;
    return kind_of(net.log.back().data.data(), net.log.back().data.size());
  }
  // Links to module B of ref.example, at `ref`, and to a host unknown.
  void add_links() {
    events.hosts["ref.example"] = ref.ip;
    d.add_link({"XRF001", 'B', "ref.example", 30001});
    d.add_link({"XRF002", 'C', "nowhere.example", 30001});
  }
  bytes node_header(const std::string& my) const {
    bytes h(hdr::size, 0);
    h[prefix::packet_kind] = prefix::kind_header;
    put_call(h.data() + hdr::my_call, my);
    put_call(h.data() + hdr::rpt1_call, "N0DE");
    put_call(h.data() + hdr::rpt2_call, "N0DE");
    put_call(h.data() + hdr::your_call, "CQCQCQ");
    std::memcpy(h.data() + hdr::my_suffix, "    ", 4);
    return h;
  }
  bytes node_voice(std::uint8_t seq, bool sync, bool last = false) const {
    bytes v(voice::size, 7);
    std::memset(v.data(), 0, prefix::size);
    v[prefix::packet_kind] = prefix::kind_voice;
    v[prefix::sequence + 1] = static_cast<std::uint8_t>(seq | (last ? 0x40 : 0));
    if (sync) std::memcpy(v.data() + voice::slow_data, dsvt::sync, 3);
    return v;
  }
  bytes dsvt_header(std::uint16_t id, const std::string& my) const {
    bytes h = node_header(my);
    const std::uint8_t sid[2] = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)};
    frame_as_dsvt_header(h.data(), sid);
    return h;
  }
  bytes dsvt_voice(std::uint16_t id, std::uint8_t seq) const {
    bytes v(voice::size, 9);
    const std::uint8_t sid[2] = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)};
    frame_as_dsvt_voice(v.data(), sid, seq);
    return v;
  }
};

TEST_F(door_test, LinkRequestsAreAnsweredByRulesAndRoom) {
  events.denied = {"DL9BAD"};
  struct row {
    endpoint from;
    const char* call;
    std::optional<kind> answer;
    std::size_t clients;
  };
  const row rows[] = {
      {at_a, "DL1AAA", kind::answer_ack, 1},
      {at_a, "DL1AAA", kind::answer_ack, 1},  // again: answered, still one client
      {at_b, "DL9BAD", kind::answer_nak, 1},  // the access rules
      {at_b, "DL1BBB", kind::answer_ack, 2},
      {at_b2, "DL1BBB", kind::answer_ack, 3},                // another port: another client
      {{0x0300007f, 30001}, "DL1CCC", kind::answer_nak, 3},  // full
      {{0x0400007f, 30001}, "1234", kind::answer_nak, 3},    // no call sign
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.call);
    EXPECT_EQ(link(r.from, r.call), r.answer);
    EXPECT_EQ(d.client_count(), r.clients);
  }
  bytes unlink(ctl::request_size);
  make_unlink(unlink.data(), "DL1AAA", 'D');
  d.receive(unlink.data(), unlink.size(), at_a, now);
  EXPECT_EQ(d.client_count(), 2u);
  EXPECT_EQ(net.log.back().data, unlink);
  const std::vector<peer_change> want = {
      peer_change::linked, peer_change::refused, peer_change::linked,  peer_change::linked,
      peer_change::full,   peer_change::refused, peer_change::unlinked};
  ASSERT_EQ(events.changes.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(events.changes[i].first, want[i]);
  // New rules refuse a linked call sign: its clients are dropped, told so.
  events.denied = {"DL1BBB"};
  d.recheck_clients();
  EXPECT_EQ(d.client_count(), 0u);
  EXPECT_EQ(net.to(at_b2).back(), bytes({' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0}));
}

TEST_F(door_test, ANodesStreamReachesEveryClientEvenPastAFailedSend) {
  ASSERT_EQ(link(at_a, "DL1AAA", 'B'), kind::answer_ack);
  ASSERT_EQ(link(at_b, "DL1BBB", 'C'), kind::answer_ack);
  net.failing = {at_a};
  net.log.clear();
  EXPECT_TRUE(d.header(node_header("DL1TALK").data(), node_origin));
  for (int i = 0; i < 23; ++i) d.voice(node_voice(0, i % 21 == 0, i == 22).data(), node_origin);
  // Its checksum, plausibility, RPT2 and stream id are checked in
  // DExtra.ClientHearsANodeAndIsHeardByIt; the sequence is the door's own.
  const auto headers = net.to(at_b, dsvt::header_size);
  ASSERT_EQ(headers.size(), static_cast<std::size_t>(door::header_copies));
  EXPECT_EQ(field(headers[0], dsvt::rpt1), "XRF999 G");
  const auto frames = net.to(at_b, dsvt::voice_size);
  ASSERT_EQ(frames.size(), 23u);
  for (std::size_t i = 0; i < frames.size(); ++i)
    EXPECT_EQ(frames[i][dsvt::sequence], (i % 21) | (i == 22 ? 0x40 : 0)) << i;
  EXPECT_TRUE(net.to(at_a).empty());
}

// A header a node repeats within its over keeps the over's stream id; a
// new header begins another stream, and the one it replaces is closed.
TEST_F(door_test, ARepeatedHeaderKeepsTheStreamAndANewOneClosesIt) {
  ASSERT_EQ(link(at_a, "DL1AAA"), kind::answer_ack);
  net.log.clear();
  d.header(node_header("DL1TALK").data(), node_origin);
  d.voice(node_voice(0, true).data(), node_origin);
  d.header(node_header("DL1TALK").data(), node_origin);
  d.header(node_header("DL1NEXT").data(), node_origin);
  const auto headers = net.to(at_a, dsvt::header_size);
  const auto frames = net.to(at_a, dsvt::voice_size);
  ASSERT_EQ(headers.size(), 3u * door::header_copies);
  ASSERT_EQ(frames.size(), 2u);  // the voice, then the closing frame
  const auto id = [](const bytes& b) { return field(b, dsvt::stream_id, 2); };
  EXPECT_EQ(id(headers[door::header_copies]), id(headers[0]));
  EXPECT_EQ(id(frames[1]), id(headers[0]));
  EXPECT_EQ(frames[1][dsvt::sequence], 0x41);
  EXPECT_NE(id(headers[2 * door::header_copies]), id(headers[0]));
}

TEST_F(door_test, AClientsStreamGoesInNodeFramedOnceAndNotBack) {
  ASSERT_EQ(link(at_a, "DL1AAA"), kind::answer_ack);
  const bytes h = dsvt_header(0x1234, "DL1AAA");
  for (int i = 0; i < 3; ++i) d.receive(h.data(), h.size(), at_a, now);  // copies: one stream
  d.receive(dsvt_voice(0x9999, 0).data(), voice::size, at_a, now);       // another stream's
  d.receive(dsvt_voice(0x1234, 0x41).data(), voice::size, at_a, now);
  d.receive(dsvt_voice(0x1234, 2).data(), voice::size, at_a, now);  // after its end
  d.receive(h.data(), h.size(), at_b, now);                         // not linked
  // The node framing of what goes in is checked in
  // DExtra.ClientHearsANodeAndIsHeardByIt.
  ASSERT_EQ(events.into_conference.size(), 2u);
  EXPECT_TRUE(voice::ends_stream(events.into_conference[1].data()));
  // What the conference hands back for it goes to nobody: a's own stream.
  net.log.clear();
  EXPECT_FALSE(d.header(events.into_conference[0].data(), d.origin_of(d.clients()[0])));
  EXPECT_TRUE(net.log.empty());
}

TEST_F(door_test, ATalkerAlreadyCarriedIsNotTakenFromAnotherWay) {
  ASSERT_EQ(link(at_a, "DL1AAA"), kind::answer_ack);
  d.header(node_header("DL1LOOP").data(), node_origin);
  const bytes h = dsvt_header(0x4444, "DL1LOOP");
  d.receive(h.data(), h.size(), at_a, now);
  d.receive(dsvt_voice(0x4444, 0).data(), voice::size, at_a, now);
  EXPECT_TRUE(events.into_conference.empty());
  // Once the carried stream has ended and the window passed, the talker is
  // taken again.
  d.voice(node_voice(0, true, true).data(), node_origin);
  now += door::loop_window_ms;
  tick(now);
  d.receive(dsvt_header(0x5555, "DL1LOOP").data(), hdr::size, at_a, now);
  EXPECT_EQ(events.into_conference.size(), 1u);
}

// A client that links while streams run hears their headers, but never an
// echo test played back to another peer; past the door's bound of streams a
// stream is not carried, and the bound frees as streams fall silent.
TEST_F(door_test, LateLinkersHearRunningStreamsAndTheBoundHolds) {
  ASSERT_EQ(link(at_a, "DL1AAA"), kind::answer_ack);
  d.header(node_header("DL1TALK").data(), node_origin);
  d.send_to(d.origin_of(d.clients()[0]), node_header("ECHO").data(), hdr::size);
  link(at_b, "DL1BBB");
  ASSERT_EQ(d.client_count(), 2u);
  const auto heard = net.to(at_b, dsvt::header_size);
  ASSERT_EQ(heard.size(), static_cast<std::size_t>(door::header_copies));
  EXPECT_EQ(field(heard[0], dsvt::my), "DL1TALK ");
  for (std::uint32_t i = 2; i < door::most_streams; ++i)
    ASSERT_TRUE(d.header(node_header("DL1MANY").data(), stream_origin(0x0a000000u + i)));
  EXPECT_FALSE(d.header(node_header("DL1LATE").data(), stream_origin(0x0b000000u)));
  now += stream_silence_ms;
  tick(now);
  EXPECT_TRUE(d.header(node_header("DL1LATE").data(), stream_origin(0x0b000000u)));
}

TEST_F(door_test, KeepalivesAndTheSilentDroppedAndALostEndClosed) {
  ASSERT_EQ(link(at_a, "DL1AAA"), kind::answer_ack);
  ASSERT_EQ(link(at_b, "DL1BBB"), kind::answer_ack);
  d.header(node_header("DL1TALK").data(), node_origin);
  d.voice(node_voice(0, true).data(), node_origin);
  bytes alive(ctl::keepalive_size);
  make_keepalive(alive.data(), "DL1BBB");
  for (int step = 0; step < 11; ++step) {
    now += door::keepalive_ms;
    d.receive(alive.data(), alive.size(), at_b, now);
    tick(now);
  }
  EXPECT_EQ(net.to(at_b, ctl::keepalive_size).size(), 11u);
  const auto to_a = net.to(at_a, ctl::request_size);
  ASSERT_EQ(to_a.size(), 1u);  // a, silent 30 s, dropped with the notice
  EXPECT_EQ(to_a[0], bytes({' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0}));
  EXPECT_EQ(d.client_count(), 1u);
  EXPECT_EQ(events.changes.back().first, peer_change::dropped);
  // The node's stream lost its end: b got a closing frame.
  const auto frames = net.to(at_b, dsvt::voice_size);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1][dsvt::sequence], 0x41);
}

TEST_F(door_test, ALinkAsksBacksOffAndRelinks) {
  add_links();
  d.tick(now);
  const auto asked = net.to(ref, ctl::request_size);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], bytes({'X', 'R', 'F', '9', '9', '9', ' ', ' ', 'B', 'B', 0}));
  EXPECT_EQ(events.changes.back().first, peer_change::link_unknown);
  bytes nak(ctl::answer_size);
  make_answer(nak.data(), asked[0].data(), false);
  d.receive(nak.data(), nak.size(), ref, now);
  EXPECT_EQ(events.changes.back().first, peer_change::link_refused);
  // A late answer while it waits is the reflector's, not a client's request.
  bytes own(ctl::request_size);
  make_request(own.data(), "XRF001", 'B', 'B');
  d.receive(own.data(), own.size(), ref, now);
  EXPECT_EQ(d.client_count(), 0u);
  EXPECT_EQ(events.changes.back().first, peer_change::link_refused);
  // Asked again only after the pause, which doubles.
  std::vector<std::int64_t> asked_at;
  for (int ms = 0; ms < 20000; ms += 100) {
    const std::size_t before = net.to(ref, ctl::request_size).size();
    d.tick(now + ms);
    if (net.to(ref, ctl::request_size).size() > before) asked_at.push_back(ms);
  }
  ASSERT_GE(asked_at.size(), 2u);
  EXPECT_EQ(asked_at[0], door::first_backoff_ms);
  EXPECT_EQ(asked_at[1] - asked_at[0], 2 * door::first_backoff_ms + door::keepalive_ms);
  // Accepted (by its own call sign, as some reflectors answer): up, and it
  // hears the conference as a client names the reflector.
  now += 80000;
  d.tick(now);
  d.receive(own.data(), own.size(), ref, now);
  EXPECT_EQ(events.changes.back().first, peer_change::link_up);
  net.log.clear();
  d.header(node_header("DL1TALK").data(), node_origin);
  const auto h = net.to(ref, dsvt::header_size);
  ASSERT_FALSE(h.empty());
  EXPECT_EQ(field(h[0], dsvt::rpt2), "XRF001 B");
  // Silent 30 s: lost, and asked again.
  events.changes.clear();
  d.tick(now + door::silent_ms);
  ASSERT_FALSE(events.changes.empty());
  EXPECT_EQ(events.changes.front().first, peer_change::link_lost);
  EXPECT_EQ(events.changes.front().second, "XRF001 B");
}

// A clean stop sends the unlink to the reflector linked to, nothing to a
// client, and nothing to a link still waiting to ask.
TEST_F(door_test, AStopUnlinksFromReflectorsAndLeavesClientsBe) {
  add_links();
  ASSERT_EQ(link(at_a, "DL1AAA"), kind::answer_ack);
  d.tick(now);
  bytes ack(ctl::answer_size);
  make_answer(ack.data(), net.to(ref, ctl::request_size).at(0).data(), true);
  d.receive(ack.data(), ack.size(), ref, now);
  net.log.clear();
  d.stop();
  ASSERT_EQ(net.log.size(), 1u);
  EXPECT_EQ(net.log[0].to, ref);
  EXPECT_EQ(net.log[0].data, bytes({'X', 'R', 'F', '9', '9', '9', ' ', ' ', 'B', ' ', 0}));
}

}  // namespace
}  // namespace mirx::dextra
