#include "mirx_node/stream_monitor.h"

#include <cstdio>
#include <cstring>

#include "mirx_node/position_report.h"

namespace mirx::node_tool {
namespace {

// Sequence bits: the frame's place in its superframe (0..20).
constexpr std::uint8_t place_mask = 0x1F;

std::string quote_bytes(const std::uint8_t* p, std::size_t n, bool stop_at_zero) {
  std::string out = "\"";
  for (std::size_t i = 0; i < n && !(stop_at_zero && p[i] == 0); ++i) {
    const std::uint8_t c = p[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c > 0x7E) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

field field_at(const std::uint8_t* p) {
  field f;
  std::memcpy(f.data(), p, f.size());
  return f;
}

}  // namespace

header_view read_header(const std::uint8_t* packet) {
  header_view h;
  std::memcpy(h.flags, packet + hdr::flag1, 3);
  h.rpt2_call = field_at(packet + hdr::rpt2_call);
  h.rpt1_call = field_at(packet + hdr::rpt1_call);
  h.your_call = field_at(packet + hdr::your_call);
  h.my_call = field_at(packet + hdr::my_call);
  std::memcpy(h.my_suffix.data(), packet + hdr::my_suffix, h.my_suffix.size());
  return h;
}

std::optional<ack_verdict> acknowledgement_of(const stream& s) {
  if (!s.header) return std::nullopt;
  const header_view& h = *s.header;
  if (h.rpt1_call != h.my_call || h.rpt2_call != h.my_call) return std::nullopt;
  if (h.flags[0] == 0x00) return ack_verdict::delivered;
  if (h.flags[0] == 0x01) return ack_verdict::not_delivered;
  return std::nullopt;
}

std::string quoted(const field& call) {
  return quote_bytes(call.data(), call.size(), true);
}

std::string quoted(const std::string& text) {
  return quote_bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), false);
}

std::string describe_header(const header_view& h) {
  char flags[16];
  std::snprintf(flags, sizeof flags, "%02x %02x %02x", h.flags[0], h.flags[1], h.flags[2]);
  return "header: my_call " + quoted(h.my_call) + " suffix " +
         quote_bytes(h.my_suffix.data(), h.my_suffix.size(), true) + " your_call " +
         quoted(h.your_call) + " rpt1 " + quoted(h.rpt1_call) + " rpt2 " + quoted(h.rpt2_call) +
         " flags " + flags;
}

std::vector<std::string> describe_stream(const stream& s) {
  std::vector<std::string> lines;
  const std::string from =
      s.header ? "end of stream from " + quoted(s.header->my_call) : "end of stream without header";
  lines.push_back(from + ": " + std::to_string(s.voice_packets) +
                  (s.voice_packets == 1 ? " voice packet" : " voice packets"));
  if (s.slow.has_text())
    lines.push_back("  text message " + quoted(s.slow.text()) +
                    (s.slow.text_complete() ? "" : " (incomplete)"));
  if (!s.slow.position().empty())
    for (const std::string& line : describe_position(s.slow.position()))
      lines.push_back("  " + line);
  if (s.slow.lost_halves() > 0)
    lines.push_back("  slow data: " + std::to_string(s.slow.lost_halves()) + " block halves lost");
  return lines;
}

std::string describe_ack(ack_verdict v, const stream& s) {
  const char* verdict = v == ack_verdict::delivered ? "delivered" : "not delivered";
  const std::string text =
      s.slow.has_text() ? "text message " + quoted(s.slow.text()) : "no text message";
  return std::string("acknowledgement: ") + verdict + ", " + text;
}

void stream_monitor::take(const std::uint8_t* data, std::size_t length, clock::time_point now) {
  if (length != hdr::size && length != voice::size) return;
  last_heard_ = now;
  if (length == voice::size) return take_voice(data);
  finish();  // a header opens a new stream, whatever became of the last one
  open_.emplace();
  open_->header = read_header(data);
  if (on_header) on_header(*open_->header);
}

void stream_monitor::take_voice(const std::uint8_t* packet) {
  if (!open_) open_.emplace();
  stream& s = *open_;
  const std::uint8_t sequence = packet[prefix::sequence + 1];
  const bool closing =
      std::memcmp(packet + voice::frame, voice::end_pattern, sizeof voice::end_pattern) == 0;
  // Gateways number frames 0..20 within a superframe; a sender that counts
  // otherwise is followed by arrival order.
  std::size_t place = sequence & place_mask;
  if (place >= slow::frames_per_superframe) place = s.voice_packets;
  // The closing frame's slow-data position carries no slow data.
  if (!closing)
    s.slow.feed(place, {packet[voice::slow_data], packet[voice::slow_data + 1],
                        packet[voice::slow_data + 2]});
  ++s.voice_packets;
  if (voice::ends_stream(packet)) finish();
}

void stream_monitor::tick(clock::time_point now) {
  if (open_ && now - last_heard_ >= quiet_limit) finish();
}

void stream_monitor::finish() {
  if (!open_) return;
  stream done = std::move(*open_);
  open_.reset();
  if (on_end) on_end(done);
}

}  // namespace mirx::node_tool
