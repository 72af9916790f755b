#include "dashboard/render.h"

#include <cstdio>
#include <ctime>

#include "node/address.h"

namespace mirx::dashboard {

using nlohmann::json;

std::string call_text(std::string_view value) {
  std::string out;
  for (char ch : value) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x80) {
      out += ch;
    } else {  // two-byte UTF-8 form of U+0080..U+00FF
      out += static_cast<char>(0xc0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3f));
    }
  }
  return out;
}

std::optional<std::string> shown_address(std::uint32_t ip, address_mode mode) {
  if (mode == address_mode::none) return std::nullopt;
  const octets o = octets_of(ip);
  char text[20];
  if (mode == address_mode::network)
    std::snprintf(text, sizeof text, "%u.%u.%u.x", o.a, o.b, o.c);
  else
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", o.a, o.b, o.c, o.d);
  return text;
}

std::string iso_time(millis t) {
  const std::time_t seconds = static_cast<std::time_t>(t / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(t % 1000));
  return text;
}

namespace {

json optional_time(millis t) {
  return t == 0 ? json(nullptr) : json(iso_time(t));
}

json address_json(std::uint32_t ip, address_mode mode) {
  const auto shown = shown_address(ip, mode);
  return shown ? json(*shown) : json(nullptr);
}

}  // namespace

json node_json(const node_row& n, const view& v) {
  json last = nullptr;
  if (n.last_header != 0)
    last = {{"at", iso_time(n.last_header)}, {"my_call", call_text(n.last_speaker)}};
  return {{"call1", call_text(n.call1)},
          {"call2", call_text(n.call2)},
          {"address", address_json(n.ip, v.addresses)},
          {"since", iso_time(n.since)},
          {"last_header", last}};
}

json heard_json(const heard_entry& h, const state& s) {
  return {{"at", iso_time(h.at)},
          {"my_call", call_text(h.my_call)},
          {"call1", call_text(h.call1)},
          {"call2", call_text(h.call2)},
          {"registered", s.nodes.count(h.call1) != 0}};
}

json feed_json(const state& s) {
  return {{"last_record", optional_time(s.last_record)},
          {"records", {{"ADD", s.count.add}, {"DEL", s.count.del}, {"ACC", s.count.acc}}},
          {"rejected", s.count.rejected},
          {"malformed", s.count.malformed}};
}

json hourly_json(const state& s, millis now) {
  json hours = json::array();
  const std::int64_t current = now / hour_ms;
  for (std::int64_t h = current - (hours_kept - 1); h <= current; ++h) {
    const auto found = s.hours.find(h);
    hours.push_back(
        {{"hour", iso_time(h * hour_ms)}, {"headers", found == s.hours.end() ? 0 : found->second}});
  }
  return hours;
}

json state_json(const state& s, const view& v, millis now) {
  static const char* mode_names[] = {"none", "network", "full"};
  json nodes = json::array();
  for (const auto& [call1, row] : s.nodes) nodes.push_back(node_json(row, v));
  json heard = json::array();
  for (const heard_entry& h : s.heard) heard.push_back(heard_json(h, s));
  return {{"version", schema_version},
          {"title", v.title},
          {"now", iso_time(now)},
          {"watching_since", iso_time(s.watching_since)},
          {"state_kept", v.state_kept},
          {"address_display", mode_names[static_cast<int>(v.addresses)]},
          {"on_air_seconds", v.on_air_seconds},
          {"silence_warning_seconds", v.silence_warn_seconds},
          {"feed", feed_json(s)},
          {"nodes", nodes},
          {"last_heard", heard},
          {"hourly", hourly_json(s, now)}};
}

json change_json(const state& s, const outcome& o, const view& v, millis now) {
  json c = {{"type", "change"}, {"now", iso_time(now)}, {"feed", feed_json(s)}};
  const auto row = s.nodes.find(o.call1);
  switch (o.what) {
    case change::added:
    case change::moved:
      c["node"] = node_json(row->second, v);
      break;
    case change::removed:
      c["removed"] = call_text(o.call1);
      break;
    case change::heard:
      c["heard"] = heard_json(s.heard.front(), s);
      if (row != s.nodes.end()) c["node"] = node_json(row->second, v);
      c["hour"] = {{"hour", iso_time(now / hour_ms * hour_ms)},
                   {"headers", s.hours.at(now / hour_ms)}};
      break;
    default:
      break;
  }
  return c;
}

}  // namespace mirx::dashboard
