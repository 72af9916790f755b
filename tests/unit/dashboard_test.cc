// The dashboard's state as records build it, what it shows as JSON and as
// metrics, how a reconnecting page catches up, and the state file.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dashboard/hub.h"
#include "dashboard/render.h"
#include "dashboard/state.h"
#include "dashboard/state_file.h"
#include "platform/ipv4.h"
#include "unit/record_bytes.h"

namespace mirx::dashboard {
namespace {

using namespace std::string_literals;
using nlohmann::json;

const millis t0 = 1796647998000;  // 2026-12-07T12:53:18Z
const std::uint32_t server = address_of(127, 0, 0, 1);
const std::uint32_t stranger = address_of(127, 0, 0, 9);
const std::string hostile = "<b>&\"'\xff\x01";

using test::bytes;
using test::datagram;
bytes add(const std::string& call1, std::uint8_t ip) {
  return datagram({"ADD ", call1, "GW", "\x7f\0\0"s + static_cast<char>(ip)});
}
bytes nod(const std::string& call1, std::uint8_t ip) {
  return datagram({"NOD ", call1, "GW", "\x7f\0\0"s + static_cast<char>(ip)});
}
bytes del(const std::string& call1) {
  return datagram({"DEL ", call1, "GW", "\x7f\0\0\x02"s});
}
bytes acc(const std::string& call1, const std::string& my_call) {
  return datagram({"ACC ", call1, call1.empty() ? "" : "GW", my_call});
}

// An end record for a stream of `ms` milliseconds, and a start, heartbeat
// or stop record of a server with `open` streams in progress.
bytes end(const std::string& call1, const std::string& my_call, std::uint32_t ms, char how = 1) {
  bytes b = datagram({"END "s + how, call1, call1.empty() ? "" : "GW", my_call});
  for (int i = 0; i < 3; ++i) b[5 + i] = static_cast<std::uint8_t>(ms >> (16 - 8 * i));
  return b;
}
bytes liveness(const char* tag, std::uint8_t table, std::uint8_t open) {
  const std::string n = "\0\0\0"s;
  return datagram({tag, n + static_cast<char>(table) + n + "\x3c",
                   n + static_cast<char>(open) + n + "\x1e", "\0\0\x0b\xb8"s});
}

struct sent {
  bytes data;
  std::uint32_t from = server;
};

// Plays `in` one second apart from t0, only the server allowed to send.
state play(const std::vector<sent>& in) {
  state s;
  s.watching_since = t0;
  millis t = t0;
  for (const sent& d : in)
    apply_datagram(s, {{server}}, d.from, d.data.data(), d.data.size(), t += 1000);
  return s;
}

// "call1 address,... | my_call<call1 (* registered),... | ADD DEL ACC rejected malformed"
std::string summary(const state& s) {
  const json j = state_json(s, {"t", address_mode::full}, t0 + 60000);
  std::string out;
  for (const json& n : j["nodes"])
    out += n["call1"].get<std::string>() + " " + n["address"].get<std::string>() + ",";
  out += " |";
  for (const json& h : j["last_heard"])
    out += " " + h["my_call"].get<std::string>() + "<" + h["call1"].get<std::string>() +
           (h["registered"].get<bool>() ? "*" : "");
  const feed_counters& c = s.count;
  const std::uint64_t add = c.of(record::tag_add), del = c.of(record::tag_del),
                      heard = c.of(record::tag_acc);
  for (std::uint64_t n : {add, del, heard, c.rejected, c.malformed}) out += " " + std::to_string(n);
  // The time of the last record is shown once there is one.
  if (j["feed"]["last_record"].is_null() != (add + del + heard == 0)) out += " last_record?";
  return out;
}

TEST(DashboardState, RecordsBuildTheTable) {
  const struct {
    std::vector<sent> in;
    std::string want;
  } cases[] = {
      {{{add("N0AAA", 2)}, {add("N0BBB", 3)}}, "N0AAA 127.0.0.2,N0BBB 127.0.0.3, | 2 0 0 0 0"},
      {{{add("N0AAA", 2)}, {add("N0BBB", 3)}, {del("N0AAA")}}, "N0BBB 127.0.0.3, | 2 1 0 0 0"},
      // A second ADD of a call sign moves its one row.
      {{{add("N0AAA", 2)}, {add("N0AAA", 7)}}, "N0AAA 127.0.0.7, | 2 0 0 0 0"},
      {{{add("N0AAA", 2)}, {del("N0ZZZ")}}, "N0AAA 127.0.0.2, | 1 1 0 0 0"},
      // Through a node, and from a sender that is none.
      {{{add("N0AAA", 2)}, {acc("N0AAA", "SPEAKER1")}, {acc("", "SPEAKER2")}},
       "N0AAA 127.0.0.2, | SPEAKER2< SPEAKER1<N0AAA* 1 0 2 0 0"},
      {{{add("N0AAA", 2), stranger}, {acc("", "X"), stranger}}, " | 0 0 0 2 0"},
      {{{bytes(31, 'A')}, {bytes(33, 'A')}, {datagram({"ADDX", "A", "B", "C"})}, {bytes()}},
       " | 0 0 0 0 4"},
  };
  for (const auto& c : cases) EXPECT_EQ(summary(play(c.in)), c.want);
}

// A re-announced node gives the row its ADD would have (since unknown) and
// brings a moved row up to date, keeping its time on the table. A row whose
// DEL was lost goes once the re-announcement has passed it over for three
// rounds and a slice, or at once when the server's table is empty; a server
// that re-announces nothing leaves the rows alone.
TEST(DashboardState, ReannouncementsFillMoveAndDropRows) {
  const auto nods = [](std::size_t n) { return std::vector<sent>(n, {nod("N0AAA", 2)}); };
  const sent beat{liveness("HBT ", 1, 0)}, empty{liveness("HBT ", 0, 0)};
  const std::vector<sent> two{{add("N0AAA", 2)}, {add("N0BBB", 3)}, beat};
  const auto then = [](std::vector<sent> in, const std::vector<sent>& more) {
    in.insert(in.end(), more.begin(), more.end());
    return in;
  };
  // Each row: call1, address, and whether its time on the table is known.
  const std::pair<std::vector<sent>, std::string> cases[] = {
      {{{nod("N0AAA", 2)}}, "N0AAA 127.0.0.2 ?,"},
      {{{add("N0AAA", 2)}, {nod("N0AAA", 7)}}, "N0AAA 127.0.0.7 t,"},
      {then(two, {beat}), "N0AAA 127.0.0.2 t,N0BBB 127.0.0.3 t,"},
      {then(then(two, nods(2)), {beat}), "N0AAA 127.0.0.2 t,N0BBB 127.0.0.3 t,"},
      {then(then(two, nods(3)), {beat}), "N0AAA 127.0.0.2 t,"},
      {then(two, {empty}), ""},
  };
  for (const auto& [in, want] : cases) {
    const json j = state_json(play(in), {"t", address_mode::full}, t0 + 9000);
    std::string rows;
    for (const json& n : j["nodes"])
      rows += n["call1"].get<std::string>() + " " + n["address"].get<std::string>() +
              (n["since"].is_null() ? " ?," : " t,");
    EXPECT_EQ(rows, want) << in.size();
  }
}

// A row whose DEL was lost goes at the 4th heartbeat after the NOD that
// named it last, as documented, for a table of up to 128 nodes; not before.
TEST(DashboardState, LostRowGoesWithinFourHeartbeats) {
  for (const int n : {5, 128}) {
    state s;
    millis t = t0;
    const auto put = [&](const bytes& d) {
      apply_datagram(s, {}, server, d.data(), d.size(), ++t);
    };
    const auto slice = [&](int from) {
      for (int i = from; i < n; ++i) put(nod("N" + std::to_string(i), 2));
    };
    put(liveness("HBT ", static_cast<std::uint8_t>(n), 0));
    slice(1), put(nod("N0", 2));  // N0 named last: the longest it may stay
    int beats = 0;
    while (s.nodes.count(call_value("N0")) != 0 && beats < 10) {
      put(liveness("HBT ", static_cast<std::uint8_t>(n - 1), 0));
      ++beats;
      slice(1);
    }
    EXPECT_EQ(beats, 4) << n;
  }
}

// A speaker's overs per quarter hour over the last day (a page counts any
// zone's day from them), and how its last over ended.
TEST(DashboardState, SpeakersOversByQuarterAndHowTheLastEnded) {
  const auto quarter = [](millis after, int overs) {
    return "[[" + std::to_string((t0 + after) / quarter_ms) + "," + std::to_string(overs) + "]]";
  };
  const bytes header = acc("N0AAA", "S"), off = liveness("OFF ", 1, 0);
  const struct {
    std::vector<std::pair<millis, bytes>> in;  // after t0
    std::string want;                          // overs_by_quarter ended_by, a day after t0
  } cases[] = {
      // The quarter of t0 is a day old by then.
      {{{0, header}, {quarter_ms, header}, {quarter_ms + 1, header}},
       quarter(quarter_ms, 2) + " null"},
      {{{day_ms, header}, {day_ms + 9, end("N0AAA", "S", 9)}}, quarter(day_ms, 1) + " \"mark\""},
      {{{day_ms, header}, {day_ms + 9, end("N0AAA", "S", 9, 2)}},
       quarter(day_ms, 1) + " \"silence\""},
      {{{0, off}, {day_ms, header}, {day_ms + 9, off}}, quarter(day_ms, 1) + " null"},
  };
  for (const auto& c : cases) {
    state s;
    for (const auto& [after, d] : c.in)
      apply_datagram(s, {}, server, d.data(), d.size(), t0 + after);
    const json h = state_json(s, {}, t0 + day_ms + 10)["heard_by_call"][0];
    EXPECT_EQ(h["overs_by_quarter"].dump() + " " + h["ended_by"].dump(), c.want);
  }
}

// "talking: my_call<call1,... | heard: my_call duration ended_by,... | by call: my_call overs
// duration,... | rows"
std::string streams(const state& s, millis now) {
  const json j = state_json(s, {}, now);
  std::string out = "talking:";
  for (const json& t : j["talking"])
    out += " " + t["my_call"].get<std::string>() + "<" + t["call1"].get<std::string>();
  out += " | heard:";
  for (const json& h : j["last_heard"])
    out += " " + h["my_call"].get<std::string>() + " " + h["duration_ms"].dump() + " " +
           h["ended_by"].dump();
  out += " | by call:";
  for (const json& c : j["heard_by_call"])
    out += " " + c["my_call"].get<std::string>() + " " + c["overs_today"].dump() + " " +
           c["duration_ms"].dump();
  return out + " | " + std::to_string(j["nodes"].size());
}

// Streams begin with their header and end with their end record, matched by
// time when an end and the next header of one address cross; a start of the
// server clears its rows; a heartbeat drops streams whose end was lost.
TEST(DashboardState, StreamsInProgressAndTheirDurations) {
  const sent hbt{liveness("HBT ", 1, 0)}, a{add("N0AAA", 2)};
  const struct {
    std::vector<sent> in;
    std::string want;
  } cases[] = {
      // Without liveness records nothing is "in progress".
      {{a, {acc("N0AAA", "S1")}}, "talking: | heard: S1 null null | by call: S1 1 null | 1"},
      {{hbt, a, {acc("N0AAA", "S1")}, {acc("", "S2")}},
       "talking: S1<N0AAA S2< | heard: S2 null null S1 null null | by call: S2 1 null S1 1 null | "
       "1"},
      {{hbt, a, {acc("N0AAA", "S1")}, {acc("", "S2")}, {end("N0AAA", "S1", 1000, 2)}},
       "talking: S2< | heard: S2 null null S1 1000 \"silence\" | by call: S2 1 null S1 1 1000 | 1"},
      // The new header's record came before the old stream's end.
      {{hbt, {acc("N0AAA", "S1")}, {acc("N0AAA", "S1")}, {end("N0AAA", "S1", 2000, 3)}},
       "talking: S1<N0AAA | heard: S1 null null S1 2000 \"superseded\" | by call: S1 2 null | 0"},
      {{hbt, a, {acc("N0AAA", "S1")}, {liveness("RUN ", 0, 0)}},
       "talking: | heard: S1 null null | by call: S1 1 null | 0"},
      {{hbt, {acc("N0AAA", "S1")}, {acc("N0BBB", "S2")}, {liveness("HBT ", 0, 1)}},
       "talking: S2<N0BBB | heard: S2 null null S1 null \"timed_out\" | "
       "by call: S2 1 null S1 1 null | 0"},
  };
  for (const auto& c : cases) EXPECT_EQ(streams(play(c.in), t0 + 10000), c.want);
  // Overs are counted per UTC day.
  EXPECT_EQ(streams(play({{acc("", "S1")}, {acc("", "S1")}}), t0 + day_ms),
            "talking: | heard: S1 null null S1 null null | by call: S1 0 null | 0");
}

// A refused talker and an echo test are notes, neither an over nor a speaker
// heard; an over the server timed out ends as such.
TEST(DashboardState, RefusalsEchoTestsAndTimedOutOvers) {
  const bytes ref = datagram({"REF ", "N0BBB", "DL1AAA", "DL2BBB"});
  bytes ech = datagram({"ECH ", "N0AAA", "GW", "DL1AAA"});
  ech[6] = 0x07, ech[7] = 0xd0;  // 2000 ms
  const struct {
    std::vector<sent> in;
    std::string want;  // the notes | streams()
  } cases[] = {
      {{{ref}}, "refused DL2BBB<N0BBB over DL1AAA | talking: | heard: | by call: | 0"},
      {{{ech}}, "echo DL1AAA<N0AAA 2000 | talking: | heard: | by call: | 0"},
      {{{liveness("HBT ", 0, 1)}, {acc("N0AAA", "S1")}, {end("N0AAA", "S1", 2000, 4)}},
       "| talking: | heard: S1 2000 \"timed_out\" | by call: S1 1 2000 | 0"},
  };
  for (const auto& c : cases) {
    const state s = play(c.in);
    std::string got;
    const json j = state_json(s, {}, t0);
    for (const json& n : j["conference_notes"])
      got += n["kind"].get<std::string>() + " " + n["my_call"].get<std::string>() + "<" +
             n["call1"].get<std::string>() +
             (n.contains("talker") ? " over " + n["talker"].get<std::string>()
                                   : " " + n["duration_ms"].dump()) +
             " ";
    EXPECT_EQ(got + "| " + streams(s, t0 + 10000), c.want);
  }
  state s;  // a page is told at once, with the names it shows
  const outcome o = apply_datagram(s, {}, server, ref.data(), ref.size(), t0);
  EXPECT_EQ(change_json(s, o, {}, t0)["note"]["talker_trimmed"], "DL1AAA");
}

// The server's liveness as sent to the page, and junk warned about only
// while it is recent, with its source.
TEST(DashboardRender, LivenessAndRecentJunk) {
  const state s = play({{liveness("HBT ", 7, 2)}, {bytes(3)}});
  const json j = state_json(s, {"t", address_mode::full}, t0 + 2000);
  EXPECT_EQ(j["server"], (json{{"up_since", "2026-12-07T12:52:19.000Z"},
                               {"last_heartbeat", "2026-12-07T12:53:19.000Z"},
                               {"stopped_at", nullptr},
                               {"heartbeat_seconds", 30},
                               {"silence_ms", 3000},
                               {"table_size", 7},
                               {"streams_open", 2}}));
  EXPECT_EQ(j["feed"]["recent_malformed"]["from"], "127.0.0.1");
  EXPECT_TRUE(state_json(s, {}, t0 + recent_ms + 3000)["feed"]["recent_malformed"].is_null());
}

bytes dextra(const char* tag, char change, const std::string& call, const std::string& how) {
  return datagram({tag + std::string(1, change), call, how, "\x7f\0\0\x05\x75\x31"s + how.back()});
}

// DExtra clients and links are rows while linked, said as such, kept by the
// heartbeats that drop node rows no longer re-announced, and their talk is
// heard like a node's; a DExtra change never takes a node's row.
TEST(DashboardState, DExtraClientsAndLinksAmongTheNodes) {
  const bytes client = dextra("DXC ", 1, "DL1ABC", "DExtra  B");
  const bytes link = dextra("DXL ", 7, "XRF001", "DXLink  C");
  const state s = play({{liveness("HBT ", 0, 0)},
                        {add("N0AAA", 2)},
                        {client},
                        {link},
                        {dextra("DXC ", 1, "N0AAA", "DExtra  B")},
                        {acc("DL1ABC", "SPEAKER")},
                        {liveness("HBT ", 0, 1)}});
  const json j = state_json(s, {"t", address_mode::full}, t0 + 9000);
  std::string rows;
  for (const json& n : j["nodes"])
    rows += n["call1"].get<std::string>() + " " + n["connection"].get<std::string>() + " " +
            n["module"].dump() + " " + n["address"].get<std::string>() + ",";
  EXPECT_EQ(rows, "DL1ABC dextra_client \"B\" 127.0.0.5,XRF001 dextra_link \"C\" 127.0.0.5,");
  EXPECT_TRUE(j["last_heard"][0]["registered"].get<bool>());
  EXPECT_EQ(j["talking"].size(), 1u);
  const std::string m = metrics_text(s, {}, 0);
  EXPECT_NE(m.find("\nmirx_dashboard_rows{connection=\"dextra_link\"} 1\n"), std::string::npos);
  EXPECT_NE(m.find(",connection=\"dextra_client\"} 1\n"), std::string::npos);
  for (const char change : {2, 3})  // unlinked, dropped
    EXPECT_EQ(summary(play({{client}, {dextra("DXC ", change, "DL1ABC", "DExtra  B")}})),
              " | 0 0 0 0 0 last_record?");
  EXPECT_TRUE(play({{link}, {dextra("DXL ", 9, "XRF001", "DXLink  C")}}).nodes.empty());
}

const bytes hdr_record = datagram({"HDR ID51", "N0AAA", "CQCQCQ", "DL1ABC"});
const bytes txt_record = datagram({"TXT DL1A", "BC\0\0<b>&"s, "\x01\xff aus H", "amburg"});

// A header's suffix and your_call, and a stream's text message, go with the
// speaker's newest over through that node, to the page as soon as they come.
TEST(DashboardState, SuffixYourCallAndTextMessageOfAnOver) {
  state s = play({{acc("N0AAA", "DL1ABC")}, {acc("N0BBB", "DL1ABC")}});
  apply_datagram(s, {}, server, hdr_record.data(), hdr_record.size(), t0 + 5000);
  const outcome o = apply_datagram(s, {}, server, txt_record.data(), txt_record.size(), t0 + 6000);
  const json j = state_json(s, {}, t0 + 6000), c = change_json(s, o, {}, t0 + 6000);
  const auto details = [](const json& h) {
    return h["suffix"].dump() + " " + h["your_call"].dump() + " " + h["message"].dump();
  };
  EXPECT_EQ(details(j["last_heard"][0]), "null null \"<b>&\\u0001\u00ff aus Hamburg\"");
  EXPECT_EQ(details(j["last_heard"][1]), "\"ID51\" \"CQCQCQ\" null");
  EXPECT_EQ(details(j["heard_by_call"][0]), details(j["last_heard"][0]));
  EXPECT_EQ(details(c["over_details"]), details(j["last_heard"][0]));
  EXPECT_EQ(c["over_details"]["at"], "2026-12-07T12:53:20.000Z");
}

// A flood of distinct call signs keeps node_limit rows, dropping the oldest.
TEST(DashboardState, NodeRowsAreBounded) {
  state s;
  for (std::size_t i = 0; i < node_limit + 5; ++i) {
    const bytes d = add("N" + std::to_string(i), 2);
    apply_datagram(s, {}, server, d.data(), d.size(), t0 + static_cast<millis>(i));
  }
  EXPECT_EQ(s.nodes.size(), node_limit);
  EXPECT_EQ(s.node_age.size(), node_limit);
  EXPECT_EQ(s.count.rows_dropped, 5u);
  EXPECT_EQ(s.nodes.count("N4"), 0u);
  EXPECT_EQ(s.nodes.count("N5"), 1u);
}

TEST(DashboardState, HeaderMarksItsNodeAndCountsTheHour) {
  state s = play({{add("N0AAA", 2)}, {acc("N0AAA", "SPEAKER")}, {acc("N0AAA", "OTHER")}});
  const json j = state_json(s, {}, t0 + 3000);
  EXPECT_EQ(j["nodes"][0]["last_header"],
            (json{{"at", "2026-12-07T12:53:21.000Z"}, {"my_call", "OTHER"}}));
  // Its overs are counted per UTC day, the count starting anew on the next.
  EXPECT_EQ(j["nodes"][0]["overs"], 2);
  EXPECT_EQ(j["nodes"][0]["overs_day"], "2026-12-07T00:00:00.000Z");
  const bytes next_day = acc("N0AAA", "SPEAKER");
  apply_datagram(s, {}, server, next_day.data(), next_day.size(), t0 + 25 * hour_ms);
  EXPECT_EQ(s.nodes.at("N0AAA").overs, 1u);
  ASSERT_EQ(j["hourly"].size(), 24u);
  EXPECT_EQ(j["hourly"][23], (json{{"hour", "2026-12-07T12:00:00.000Z"}, {"headers", 2}}));

  // The list keeps the newest 50; the hours keep the last 24.
  const bytes header = acc("", "LATER");
  for (int i = 0; i < 60; ++i)
    apply_datagram(s, {}, server, header.data(), header.size(), t0 + 25 * hour_ms);
  EXPECT_EQ(s.heard.size(), heard_limit);
  EXPECT_EQ(s.hours.size(), 1u);
}

TEST(DashboardRender, AddressesOnlyAsAllowed) {
  const state s = play({{liveness("HBT ", 0, 0)},
                        {add("N0AAA", 2)},
                        {acc("N0AAA", "SPEAKER")},
                        {bytes(3), stranger}});
  const std::pair<address_mode, json> rows[] = {{address_mode::full, "127.0.0.2"},
                                                {address_mode::network, "127.0.0.x"},
                                                {address_mode::none, nullptr}};
  for (const auto& [mode, shown] : rows) {
    const view v{"t", mode};
    const std::string everything = state_json(s, v, t0).dump() + metrics_text(s, v, 0) +
                                   change_json(s, {change::heard, "N0AAA"}, v, t0).dump();
    EXPECT_EQ(state_json(s, v, t0)["nodes"][0]["address"], shown);
    EXPECT_EQ(everything.find("127.0.0.2") != std::string::npos, mode == address_mode::full);
    EXPECT_EQ(everything.find("127.0.0.") != std::string::npos, mode != address_mode::none);
  }
}

// Counters by name, and a metric label that a quote in a call sign cannot end.
TEST(DashboardRender, MetricsCountRecordsByTag) {
  const state s = play({{add("A", 2)},
                        {add(hostile, 3)},
                        {del("A")},
                        {acc(hostile, "S")},
                        {bytes(3)},
                        {bytes(3), stranger},
                        {add("\x9b\\x01", 4)}});
  const std::string m = metrics_text(s, {}, 4);
  EXPECT_NE(m.find("# TYPE mirx_dashboard_records_total counter\n"), std::string::npos);
  for (const char* line :
       {"nodes_registered 2", "headers_relayed_total 1", "records_total{tag=\"ADD\"} 3",
        "records_total{tag=\"DEL\"} 1", "records_total{tag=\"ACC\"} 1",
        "datagrams_rejected_total 1", "datagrams_malformed_total 1", "event_streams 4",
        "node_info{call1=\"<b>&\\\"'\xc3\xbf\\\\x01\",call2=\"GW\"} 1",
        // C1 as \xNN, a call sign's backslash doubled: never the same as a control byte.
        "node_info{call1=\"\\\\x9b\\\\\\\\x01\",call2=\"GW\"} 1"})
    EXPECT_NE(m.find("\nmirx_dashboard_"s + line + "\n"), std::string::npos) << line;
}

// The event id a stream text carries last.
std::string last_id(const std::string& text) {
  const std::size_t at = text.rfind("id: ");
  return at == std::string::npos ? "" : text.substr(at + 4, text.find('\n', at) - at - 4);
}

std::string text_of(const std::vector<piece>& pieces) {
  std::string text;
  for (const piece& p : pieces) text += p.bytes;
  return text;
}

// A page that reconnects gets exactly the events it missed; one that missed
// more than the ring holds, or comes from another run, gets the whole state.
TEST(DashboardHub, ReconnectingPageCatchesUp) {
  hub h({}, {}, {});
  const auto receive = [&](const bytes& d) { h.receive(server, d.data(), d.size(), t0); };
  const auto whole = [](const std::string& text) {
    return text.find("\"type\":\"state\"") != std::string::npos;
  };
  std::uint64_t seq = 0;
  const auto open = [&](const std::string& id) {
    std::vector<piece> p;
    h.opening(id, t0, seq, p);
    return text_of(p);
  };
  const auto since = [&] {
    std::vector<piece> p;
    h.since(seq, t0, p);
    return text_of(p);
  };
  receive(add("N0AAA", 2));
  const std::string first = open("");
  EXPECT_TRUE(whole(first));
  const std::string seen = last_id(first);

  receive(add("N0BBB", 3));
  receive(del("N0AAA"));
  const std::string missed = open(seen);
  EXPECT_EQ(missed.rfind("retry: 2000\n", 0), 0u);
  EXPECT_FALSE(whole(missed));
  EXPECT_NE(missed.find("N0BBB"), std::string::npos);
  EXPECT_NE(missed.find("\"removed\":\"N0AAA\""), std::string::npos);
  EXPECT_EQ(since(), "");  // nothing more

  EXPECT_TRUE(whole(open("0000000000000000" + seen.substr(seen.find('-')))));
  open(seen);
  for (std::size_t i = 0; i <= ring_bytes / 100; ++i) receive(add("N0BBB", 3));
  EXPECT_TRUE(whole(since()));
}

// A stream is sent every row the state has, whether it opens after a burst
// of records, falls behind it, or reconnects having missed it: the state it
// starts from is followed by every event since, never by a gap. The table is
// large enough that its state is costly, so not built again for each request.
TEST(DashboardHub, StreamsNeverSkipEvents) {
  for (const char way : {'o', 'f', 'r'}) {  // opens after, falls behind, reconnects after
    hub h({}, {}, {});
    for (int i = 0; i < 10000; ++i)
      h.receive(server, add("N" + std::to_string(i), 2).data(), 32, t0);
    std::uint64_t seq = 0;
    std::vector<piece> out;
    h.opening("", t0, seq, out);
    const std::string seen = last_id(text_of(out));
    for (int i = 0; i < 1000; ++i)
      h.receive(server, add("B" + std::to_string(i), 2).data(), 32, t0 + 1);
    out.clear();
    if (way == 'f')
      h.since(seq, t0 + 1, out);
    else
      h.opening(way == 'r' ? seen : "", t0 + 1, seq, out);
    const std::string text = text_of(out);
    int missing = 0;
    for (int i = 0; i < 1000; ++i)
      missing += text.find("\"B" + std::to_string(i) + "\"") == std::string::npos;
    EXPECT_EQ(missing, 0) << way;
  }
}

// Each record's event says what it changed, never a whole list: with 64 talkers
// on air and control bytes in every call sign, an event stays small.
TEST(DashboardRender, EventsCarryWhatChanged) {
  std::vector<sent> busy{{liveness("HBT ", 1, 64)}, {add("N0AAA", 2)}};
  for (char i = 0; i < 64; ++i) busy.push_back({acc("N0AAA", "\x01\x02\x03"s + i)});
  const struct {
    const char* what;
    bytes record;
    std::vector<const char*> keys;  // besides type, now and feed
  } rows[] = {
      {"a header: one more on air, the oldest of 65 gone",
       acc("N0AAA", "\x01NEW"),
       {"heard", "heard_call", "hour", "node", "talk", "talks_gone"}},
      {"an end", end("N0AAA", "\x01\x02\x03?", 1500), {"over_ended", "talks_gone"}},
      {"a heartbeat counting fewer", liveness("HBT ", 1, 2), {"server", "streams", "talks_gone"}},
      {"a restart", liveness("RUN ", 0, 0), {"nodes_cleared", "server", "streams", "talks_gone"}},
      {"a heartbeat of an empty table",
       liveness("HBT ", 0, 64),
       {"nodes_gone", "server", "streams"}},
      {"a disconnect", del("N0AAA"), {"removed"}},
      {"a re-announcement of a node as shown: no news", nod("N0AAA", 2), {}},
      {"a re-announcement of a moved node", nod("N0AAA", 7), {"node"}},
      {"a re-announcement of an unknown node", nod("N0NEW", 7), {"node"}},
  };
  for (const auto& r : rows) {
    state s = play(busy);
    const outcome o = apply_datagram(s, {}, server, r.record.data(), r.record.size(), t0 + 90000);
    const json c = change_json(s, o, {}, t0 + 90000);
    std::vector<std::string> keys;
    for (const auto& [key, value] : c.items())
      if (key != "type" && key != "now" && key != "feed") keys.push_back(key);
    EXPECT_EQ(keys, std::vector<std::string>(r.keys.begin(), r.keys.end())) << r.what;
    // Listing the streams that end costs no more than their headers' events did.
    EXPECT_LT(c.dump().size(), 1500 + 250 * c.value("talks_gone", json::array()).size()) << r.what;
  }
}

// What reaches the page is valid UTF-8 whatever the bytes, and times before
// 1970 are as well formed as any.
TEST(DashboardRender, TextAndTimesAlwaysWellFormed) {
  const std::pair<std::string, std::string> texts[] = {
      {"Caf\xc3\xa9", "Caf\xc3\xa9"},                // UTF-8 stays
      {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},  // a surrogate is no UTF-8
      {"\xc0\xaf", "\xc3\x80\xc2\xaf"},              // nor an overlong form
      {"\xf0\x9f\x93\xbb", "\xf0\x9f\x93\xbb"},      // four bytes stay
  };
  for (const auto& [in, out] : texts) EXPECT_EQ(valid_text(in), out);
  const std::pair<millis, std::string> times[] = {{-726, "1969-12-31T23:59:59.274Z"},
                                                  {-1000, "1969-12-31T23:59:59.000Z"},
                                                  {999, "1970-01-01T00:00:00.999Z"}};
  for (const auto& [t, text] : times) EXPECT_EQ(iso_time(t), text);
}

// Call-sign bytes are data: each survives into JSON as the code point of its
// value (the parse fails if a control byte went unescaped), and through the
// state file, with the over in progress; a damaged file is refused and
// changes nothing.
TEST(DashboardStateFile, KeepsEveryByteAndRefusesDamage) {
  const std::string path = "/tmp/dashboard_state_" + std::to_string(::getpid()) + ".json";
  const state s = play({{liveness("HBT ", 1, 0)},
                        {add(hostile, 2)},
                        {acc(hostile, "SPEAKER")},
                        {bytes(3)},
                        {datagram({"HDR ID51", hostile, "CQCQCQ", "SPEAKER"})},
                        {datagram({"TXT SPEA", "KER\0<b>&"s, "\x01\xff aus H", "amburg"})}});
  const view v{"t", address_mode::full};
  EXPECT_EQ(json::parse(state_json(s, v, t0).dump())["nodes"][0]["call1"], "<b>&\"'\xc3\xbf\x01");
  // A link planted at the temporary name is not written through, nor becomes the file.
  const std::string victim = path + ".victim";
  std::ofstream(victim) << "kept";
  std::filesystem::create_symlink(victim, path + ".tmp");
  ASSERT_EQ(save_state(s, path), "");
  EXPECT_EQ(std::ifstream(victim).get(), 'k');
  namespace fs = std::filesystem;
  EXPECT_EQ(fs::symlink_status(path).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  fs::remove(victim);
  state back;
  ASSERT_EQ(load_state(back, path), "");
  EXPECT_EQ(state_json(back, v, t0).dump(), state_json(s, v, t0).dump());
  // The restarted dashboard keeps the talker through a heartbeat that counts
  // it, and its over ends with the server's end record.
  state later = back;
  for (const bytes& d : {liveness("HBT ", 1, 1), end(hostile, "SPEAKER", 9000)}) {
    EXPECT_EQ(later.talking.size(), 1u);
    apply_datagram(later, {}, server, d.data(), d.size(), t0 + 10000);
  }
  EXPECT_EQ(streams(later, t0).substr(0, 39), "talking: | heard: SPEAKER 9000 \"mark\" |");

  // A connection no row can have would index past the tables of connections.
  const std::string row =
      R"({"version":1,"watching_since":1,"last_record":2,"heard":[],)"
      R"("hours":[],"counts":[1,0,1,0,0],"nodes":[["4e30414141","4757",2,3,0,"",)";
  for (const std::string& damaged : {std::string("{\"version\":1,\"nodes\":["), row + "-1,0]]}",
                                     row + "3,0]]}", row + "4294967295,0]]}"}) {
    std::ofstream(path) << damaged;
    EXPECT_NE(load_state(back, path), "") << damaged;
    EXPECT_EQ(state_json(back, v, t0).dump(), state_json(s, v, t0).dump());  // unchanged
  }
  std::filesystem::remove(path);
  EXPECT_EQ(load_state(back, path), "");  // no file yet: nothing to load

  // A stopped server stays stopped, its rows as of the stop.
  const state stopped = play({{liveness("HBT ", 1, 0)},
                              {add("N0AAA", 2)},
                              {dextra("DXL ", 7, "XRF001", "DXLink  C")},
                              {liveness("OFF ", 1, 0)}});
  ASSERT_EQ(save_state(stopped, path), "");
  ASSERT_EQ(load_state(back, path), "");
  std::filesystem::remove(path);
  EXPECT_EQ(state_json(back, v, t0)["server"]["stopped_at"], "2026-12-07T12:53:22.000Z");
  EXPECT_EQ(state_json(back, v, t0).dump(), state_json(stopped, v, t0).dump());
}

// A file written before speakers, ends and junk bursts were kept still loads.
TEST(DashboardStateFile, ReadsTheEarlierLayout) {
  const std::string path = "/tmp/dashboard_old_state_" + std::to_string(::getpid()) + ".json";
  std::ofstream(path) << R"({"version":1,"watching_since":1,"last_record":2,)"
                      << R"("nodes":[["4e30414141","4757",2,3,0,""]],"heard":[[4,"53","",""]],)"
                      << R"("hours":[],"counts":[1,0,1,0,0]})";
  state back;
  ASSERT_EQ(load_state(back, path), "");
  std::filesystem::remove(path);
  EXPECT_EQ(back.node_age.size(), 1u);
  EXPECT_EQ(back.heard.front().duration_ms, no_duration);
  EXPECT_EQ(back.count.of(record::tag_acc), 1u);
}

}  // namespace
}  // namespace mirx::dashboard
