#include "dashboard/state_file.h"

#include <cstring>
#include <nlohmann/json.hpp>

#include "node/datagrams.h"
#include "platform/platform.h"

namespace mirx::dashboard {
namespace {

using nlohmann::json;

constexpr int file_version = 1;
// Far more than a full table, last-heard list and day of hours take.
constexpr std::size_t most_file_bytes = 32u << 20;

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) out += {digits[b >> 4], digits[b & 15]};
  return out;
}

// The bytes of a hex text, at most a call sign long; throws on anything else.
std::string unhex(const std::string& text, std::size_t most = call_size) {
  if (text.size() % 2 != 0 || text.size() > 2 * most) throw std::runtime_error("bad call");
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const unsigned long b = std::stoul(text.substr(i, 2), nullptr, 16);
    if (b == 0) throw std::runtime_error("zero byte in call");
    out += static_cast<char>(b);
  }
  return out;
}

// The "counts" array as files have always held it: records by tag (null
// marks the counters that are no record's) at fixed places. Kept so that
// files of either age read both ways; "records" holds every kind by name.
constexpr const char* legacy_counts[] = {
    record::tag_add, record::tag_del, record::tag_acc, nullptr, nullptr,        record::tag_end,
    record::tag_run, record::tag_hbt, record::tag_off, nullptr, record::tag_nod};

std::uint64_t* counter_at(feed_counters& c, std::size_t i) {
  if (const char* tag = legacy_counts[i]) {
    for (const record::kind& k : record::kinds)
      if (std::memcmp(k.tag, tag, 4) == 0) return &c.records[record::index_of(k)];
  }
  return i == 3 ? &c.rejected : i == 4 ? &c.malformed : &c.rows_dropped;
}

// An over's suffix, your_call and text message, after the fields it had
// before they were kept.
void put_details(json& j, const over_details& d) {
  j.insert(j.end(), {hex(d.suffix), hex(d.your_call), hex(d.text)});
}

over_details details_from_file(const json& j, std::size_t at) {
  if (j.size() < at + 3) return {};
  return {unhex(j.at(at), 4), unhex(j.at(at + 1)), unhex(j.at(at + 2), record::text_size)};
}

// Rows are counted and named by how they are connected, in tables of one
// place per connection; a value outside them is damage, not a fourth kind.
connection connection_from_file(const json& how) {
  const std::int64_t v = how.is_number_integer() ? how.get<std::int64_t>() : -1;
  if (v < 0 || v > static_cast<std::int64_t>(connection::dextra_link))
    throw std::runtime_error("bad connection");
  return static_cast<connection>(v);
}

json junk_file(const junk_note& n) {
  return {n.count, n.first, n.last, n.from};
}

junk_note junk_from_file(const json& j) {
  return {j.at(0).get<std::uint64_t>(), j.at(1).get<millis>(), j.at(2).get<millis>(),
          j.at(3).get<std::uint32_t>()};
}

json to_file(const state& s) {
  json nodes = json::array(), heard = json::array(), hours = json::array();
  for (const auto& [call1, n] : s.nodes)
    nodes.push_back({hex(n.call1), hex(n.call2), n.ip, n.since, n.last_header, hex(n.last_speaker),
                     static_cast<int>(n.how), n.module, n.overs, n.overs_day});
  for (const heard_entry& h : s.heard) {
    heard.push_back({h.at, hex(h.my_call), hex(h.call1), hex(h.call2), h.duration_ms, h.ended_by});
    put_details(heard.back(), h.details);
  }
  for (const auto& [hour, count] : s.hours) hours.push_back({hour, count});
  json calls = json::array();
  for (const heard_call& h : s.calls) {
    calls.push_back({hex(h.my_call), hex(h.call1), hex(h.call2), h.at, h.overs_today, h.duration_ms,
                     h.ended_by, h.quarters});
    put_details(calls.back(), h.details);
  }
  // The streams in progress, so that a restarted dashboard keeps a talker
  // it saw until the server says the over ended.
  json talking = json::array();
  for (const talk& t : s.talking)
    talking.push_back({hex(t.my_call), hex(t.call1), hex(t.call2), t.since});
  const server_status& v = s.server;
  const json server = {v.up_since,     v.last_beat,   v.stopped_at, v.table_size,
                       v.streams_open, v.heartbeat_s, v.silence_ms};
  feed_counters c = s.count;
  json counts = json::array(), records = json::object();
  for (std::size_t i = 0; i < std::size(legacy_counts); ++i) counts.push_back(*counter_at(c, i));
  for (const record::kind& k : record::kinds)
    records[std::string(k.name())] = c.records[record::index_of(k)];
  return {{"version", file_version},
          {"watching_since", s.watching_since},
          {"last_record", s.last_record},
          {"nodes", nodes},
          {"heard", heard},
          {"calls", calls},
          {"hours", hours},
          {"streams", s.streams},
          {"talking", talking},
          {"server", server},
          {"junk", {junk_file(c.recent_rejected), junk_file(c.recent_malformed)}},
          {"counts", counts},
          {"records", records}};
}

state from_file(const json& j) {
  if (j.at("version").get<int>() != file_version) throw std::runtime_error("unknown version");
  state s;
  s.watching_since = j.at("watching_since").get<millis>();
  s.last_record = j.at("last_record").get<millis>();
  for (const json& n : j.at("nodes")) {
    node_row row{unhex(n.at(0)),        unhex(n.at(1)),        n.at(2).get<std::uint32_t>(),
                 n.at(3).get<millis>(), n.at(4).get<millis>(), unhex(n.at(5))};
    // Files written before DExtra rows were shown hold nodes alone.
    if (n.size() > 7) {
      row.how = connection_from_file(n.at(6));
      row.module = n.at(7).get<char>();
    }
    if (n.size() > 9) row.overs = n.at(8), row.overs_day = n.at(9);
    put_row(s, std::move(row));
  }
  for (const json& h : j.at("heard")) {
    if (s.heard.size() == heard_limit) break;
    s.heard.push_back({h.at(0).get<millis>(), unhex(h.at(1)), unhex(h.at(2)), unhex(h.at(3)),
                       h.size() > 4 ? h.at(4).get<std::int64_t>() : no_duration,
                       h.size() > 5 ? h.at(5).get<int>() : 0, details_from_file(h, 6)});
  }
  // Files written before speakers were counted have no "calls".
  for (const json& h : j.value("calls", json::array())) {
    if (s.calls.size() == heard_limit) break;
    s.calls.push_back({unhex(h.at(0)), unhex(h.at(1)), unhex(h.at(2)), h.at(3).get<millis>(),
                       h.at(4).get<std::uint32_t>(), h.at(5).get<std::int64_t>(),
                       h.size() > 6 ? h.at(6).get<int>() : 0,
                       h.size() > 7 ? h.at(7).get<std::map<std::int64_t, std::uint32_t>>()
                                    : std::map<std::int64_t, std::uint32_t>{},
                       details_from_file(h, 8)});
  }
  // Files written before talkers were kept have none of these.
  s.streams = j.value("streams", false);
  for (const json& t : j.value("talking", json::array())) {
    if (s.talking.size() == talking_limit) break;
    s.talking.push_back({unhex(t.at(0)), unhex(t.at(1)), unhex(t.at(2)), t.at(3).get<millis>()});
  }
  // The server's status: a kept talker stands until a heartbeat no longer
  // counts it, and a stop, with the rows as of it, outlasts a restart.
  if (const json v = j.value("server", json::array()); v.size() >= 7)
    s.server = {v[0].get<millis>(),        v[1].get<millis>(),        v[2].get<millis>(),
                v[3].get<std::uint32_t>(), v[4].get<std::uint32_t>(), v[5].get<std::uint32_t>(),
                v[6].get<std::uint32_t>()};
  for (const json& h : j.at("hours")) s.hours[h.at(0).get<std::int64_t>()] = h.at(1);
  const json& c = j.at("counts");
  for (std::size_t i = 0; i < std::size(legacy_counts); ++i)
    *counter_at(s.count, i) = i < 5 || i < c.size() ? c.at(i).get<std::uint64_t>() : 0;
  // Files written before the counts were kept by name have no "records".
  const json by_name = j.value("records", json::object());
  for (const record::kind& k : record::kinds)
    if (const std::string name(k.name()); by_name.contains(name))
      s.count.records[record::index_of(k)] = by_name.at(name).get<std::uint64_t>();
  if (j.contains("junk")) {
    s.count.recent_rejected = junk_from_file(j["junk"].at(0));
    s.count.recent_malformed = junk_from_file(j["junk"].at(1));
  }
  return s;
}

}  // namespace

// Readable by the owner only: the file holds the nodes' full addresses.
std::string save_state(const state& s, const std::string& path) {
  if (const int error = platform::replace_file(path, to_file(s).dump(), true); error != 0)
    return "cannot write " + path + ": " + platform::error_text(error);
  return "";
}

std::string load_state(state& s, const std::string& path) {
  std::string text;
  const platform::file_read r = platform::read_regular_file(path.c_str(), most_file_bytes, text);
  switch (r.status) {
    case platform::file_status::missing:
      return "";
    case platform::file_status::not_regular:
      return "cannot read " + path + ": not a regular file";
    case platform::file_status::too_large:
      return "cannot read " + path + ": larger than " + std::to_string(most_file_bytes) + " bytes";
    case platform::file_status::failed:
      return "cannot read " + path + ": " + platform::error_text(r.error);
    case platform::file_status::read:
      break;
  }
  try {
    s = from_file(json::parse(text));
    return "";
  } catch (const std::exception& e) {
    return "damaged state file " + path + ": " + e.what();
  }
}

}  // namespace mirx::dashboard
