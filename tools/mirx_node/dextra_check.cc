#include "mirx_node/dextra_check.h"

#include <cstdio>

#include "dextra/dsvt.h"

namespace mirx::node_tool {

void dsvt_check::take(const std::uint8_t* data, std::size_t length) {
  const dextra::kind k = dextra::kind_of(data, length);
  if (k != dextra::kind::header && k != dextra::kind::voice) return;
  const stream_id id = {data[dextra::dsvt::stream_id], data[dextra::dsvt::stream_id + 1]};
  if (!id_) id_ = id;
  if (id != *id_) {
    // Frames of another stream mixed into this one: a sender that changed
    // its id, or a reflector that merged two streams.
    ++other_id_;
    return;
  }
  if (k == dextra::kind::voice) return take_voice(data);
  ++headers_;
  if (!dextra::header_crc_ok(data)) ++bad_crc_;
  if (!dextra::plausible_header(data)) ++implausible_;
}

void dsvt_check::take_voice(const std::uint8_t* voice) {
  const std::uint8_t sequence = voice[dextra::dsvt::sequence];
  const bool last = (sequence & dextra::dsvt::last_frame) != 0;
  const unsigned place = sequence & ~unsigned{dextra::dsvt::last_frame};
  const unsigned expected = frames_ % dextra::dsvt::frames_per_superframe;
  const bool sync = dextra::is_sync(voice);
  // The closing frame may carry the end pattern's slow data in place of the
  // sync; it must never carry the sync elsewhere.
  const bool sync_right = sync == (place == 0) || (last && place == 0);
  if (step_fault_.empty() && (place != expected || !sync_right)) {
    char text[96];
    if (place != expected)
      std::snprintf(text, sizeof text, "frame %zu has sequence %u, not %u", frames_, place,
                    expected);
    else
      std::snprintf(text, sizeof text, "frame %zu (sequence %u) %s the sync", frames_, place,
                    sync ? "carries" : "lacks");
    step_fault_ = text;
  }
  ++frames_;
  end_flag_ = last;
}

std::optional<std::string> dsvt_check::finish() {
  if (!id_) return std::nullopt;
  char id[16];
  std::snprintf(id, sizeof id, "0x%02x%02x", (*id_)[0], (*id_)[1]);
  std::string line = std::string("DExtra stream ") + id + ": ";
  if (headers_ == 0) {
    line += "no header";
  } else {
    line += std::to_string(headers_) + (headers_ == 1 ? " header copy, " : " header copies, ");
    line += bad_crc_ == 0 ? "checksum ok"
                          : "checksum wrong in " + std::to_string(bad_crc_) + " of " +
                                std::to_string(headers_);
    line += implausible_ == 0 ? ", call signs plausible" : ", call signs implausible";
  }
  line += ", " + std::to_string(frames_) + (frames_ == 1 ? " voice frame" : " voice frames");
  if (frames_ != 0)
    line += step_fault_.empty() ? ", sequence in step" : ", sequence out of step: " + step_fault_;
  line += end_flag_ ? ", end flag" : ", no end flag";
  if (other_id_ != 0) line += ", " + std::to_string(other_id_) + " with another stream id";
  *this = dsvt_check{};
  return line;
}

}  // namespace mirx::node_tool
