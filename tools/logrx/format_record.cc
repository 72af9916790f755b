#include "logrx/format_record.h"

#include <cstdio>
#include <cstring>

#include "monitor/record_kinds.h"
#include "node/callsign.h"
#include "platform/ipv4.h"

namespace mirx::logrx {
namespace {

// A call-sign field as a quoted value: its bytes before the first zero byte,
// at most 8. Trailing spaces stay visible inside the quotes; a quote, a
// backslash or a byte outside printable ASCII is written as \xNN so that the
// line stays one line and means one thing.
std::string quoted(const std::uint8_t* field, std::size_t size) {
  std::string out = "\"";
  for (std::size_t i = 0; i < size; ++i) {
    const char ch = static_cast<char>(field[i]);
    const auto b = static_cast<unsigned char>(ch);
    if (b == 0) break;
    if (b >= 0x20 && b < 0x7f && b != '"' && b != '\\') {
      out += ch;
    } else {
      char esc[5];
      std::snprintf(esc, sizeof esc, "\\x%02x", b);
      out += esc;
    }
  }
  return out + "\"";
}

std::string quoted_call(const std::uint8_t* field) {
  return quoted(field, call_size);
}

std::string dotted_at(const std::uint8_t* field) {
  std::uint32_t ip;
  std::memcpy(&ip, field, 4);
  return dotted(ip).text;
}

std::string not_a_record(const std::uint8_t* data, std::size_t length, std::string_view source) {
  std::string out = "not a record: " + std::to_string(length) + " bytes from ";
  out += source;
  out += ':';
  const std::size_t shown = length < hex_limit ? length : hex_limit;
  for (std::size_t i = 0; i < shown; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02x", data[i]);
    out += hex;
  }
  if (shown < length) out += " ...";
  return out;
}

// " 12.4 s": the duration of an END or ECH record in tenths of a second,
// rounded. The field holds at most 0xFFFFFF ms, which longer streams give
// too: that one is shown as "at least".
std::string duration(const std::uint8_t* data) {
  const std::uint32_t ms = record::get_number(data, record::duration_ms, 3);
  const std::uint32_t tenths = (ms + 50) / 100;
  const char* at_least = ms == record::duration_cap ? " at least" : "";
  char text[40];
  std::snprintf(text, sizeof text, "%s %u.%u s", at_least, tenths / 10, tenths % 10);
  return text;
}

// " 12.4 s mark": the duration and how the stream ended.
std::string stream_end(const std::uint8_t* data) {
  const std::uint8_t how = data[record::end_how];
  if (const record::end_way* w = record::end_way_of(how)) return duration(data) + " " + w->text;
  return duration(data) + " how=" + std::to_string(how);
}

// RUN, HBT and OFF: the server's table, age, streams and timing.
std::string server_status(const std::uint8_t* data) {
  char text[128];
  std::snprintf(
      text, sizeof text, " nodes=%u up=%u s streams=%u heartbeat=%u s silence=%u ms",
      record::get_number(data, record::table_size), record::get_number(data, record::seconds_up),
      record::get_number(data, record::streams_open), record::get_number(data, record::heartbeat_s),
      record::get_number(data, record::silence_ms));
  return text;
}

// DXC and DXL: where the peer is, the module and what changed.
std::string peer(const std::uint8_t* data) {
  char text[96];
  const std::uint8_t module = data[record::peer_module];
  std::snprintf(text, sizeof text, " at=%s:%u module=%c %s", dotted_at(data + record::ip).c_str(),
                record::get_number(data, record::peer_port, 2),
                module >= 'A' && module <= 'Z' ? module : '?',
                record::peer_change_text(data[record::peer_change]));
  return text;
}

}  // namespace

std::string format_datagram(const std::uint8_t* data, std::size_t length, std::string_view stamp,
                            std::string_view source) {
  std::string line(stamp);
  line += ' ';
  const record::kind* k = record::kind_of(data, length);
  if (k == nullptr) return line + not_a_record(data, length, source);
  line += k->name();
  if (k->shape == record::layout::server) return line + server_status(data);
  if (k->shape == record::layout::text)
    return line + " my_call=" + quoted_call(data + record::text_my_call) +
           " text=" + quoted(data + record::text, record::text_size);
  line += " call1=" + quoted_call(data + record::call1);
  if (k->shape == record::layout::refusal)
    return line + " talker=" + quoted_call(data + record::talker) +
           " my_call=" + quoted_call(data + record::my_call);
  if (k->shape == record::layout::details)
    return line + " your_call=" + quoted_call(data + record::your_call) +
           " my_call=" + quoted_call(data + record::my_call) +
           " suffix=" + quoted(data + record::suffix, 4);
  line += " call2=" + quoted_call(data + record::call2);
  if (k->shape == record::layout::node) return line + " ip=" + dotted_at(data + record::ip);
  if (k->shape == record::layout::peer) return line + peer(data);
  line += " my_call=" + quoted_call(data + record::my_call);
  if (k->shape == record::layout::stream_end) return line + stream_end(data);
  if (k->shape == record::layout::echo) return line + duration(data);
  return line;
}

}  // namespace mirx::logrx
