#include "nodelib/packets.h"

#include <cstring>

namespace mirx::nodes {
namespace {

// Marks the prefix of what a node sends; the server never reads it.
void put_prefix(std::uint8_t* p, std::uint8_t kind, std::uint16_t sequence,
                std::uint16_t stream_id) {
  std::memcpy(p, "DSVT", 4);
  p[prefix::packet_kind] = kind;
  p[10] = static_cast<std::uint8_t>(stream_id >> 8);
  p[11] = static_cast<std::uint8_t>(stream_id);
  p[prefix::sequence] = static_cast<std::uint8_t>(sequence >> 8);
  p[prefix::sequence + 1] = static_cast<std::uint8_t>(sequence);
}

}  // namespace

void put_call(std::uint8_t* field, const std::string& text) {
  std::memset(field, ' ', call_size);
  std::memcpy(field, text.data(), std::min(text.size(), call_size));
}

registration make_registration(const std::string& call1, const std::string& call2,
                               const char* req_id) {
  registration r{};
  r[reg::req_id] = static_cast<std::uint8_t>(req_id[0]);
  r[reg::req_id + 1] = static_cast<std::uint8_t>(req_id[1]);
  r[reg::ver] = 0x01;
  r[reg::ver + 1] = 0x02;
  r[reg::firmware] = 0x0a;
  r[reg::firmware + 1] = 0x0b;
  put_call(r.data() + reg::call1, call1);
  put_call(r.data() + reg::call2, call2);
  return r;
}

header make_header(const header_fields& f, std::uint16_t stream_id) {
  header h{};
  put_prefix(h.data(), prefix::kind_header, 0, stream_id);
  h[hdr::flag1] = f.flags[0];
  h[hdr::flag2] = f.flags[1];
  h[hdr::flag3] = f.flags[2];
  put_call(h.data() + hdr::rpt2_call, f.rpt2_call);
  put_call(h.data() + hdr::rpt1_call, f.rpt1_call);
  put_call(h.data() + hdr::your_call, f.your_call);
  put_call(h.data() + hdr::my_call, f.my_call);
  std::memset(h.data() + hdr::my_suffix, ' ', 4);
  std::memcpy(h.data() + hdr::my_suffix, f.my_suffix.data(),
              std::min<std::size_t>(f.my_suffix.size(), 4));
  return h;
}

voice_frame make_voice(std::uint16_t sequence, const std::array<std::uint8_t, 3>& slow_data,
                       std::uint16_t stream_id) {
  voice_frame v{};
  put_prefix(v.data(), prefix::kind_voice, sequence, stream_id);
  std::memcpy(v.data() + voice::frame, silence_frame, voice::frame_size);
  std::memcpy(v.data() + voice::slow_data, slow_data.data(), 3);
  return v;
}

}  // namespace mirx::nodes
