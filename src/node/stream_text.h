#pragma once

// The 20-character text message a radio sends in a stream's slow data,
// caught once per stream for the TXT record: four blocks of five characters,
// each saying which part it is, so they may come in any order and repeat.

#include <cstdint>

#include "dprs/slow_data.h"
#include "node/datagrams.h"

namespace mirx {

class stream_text {
 public:
  // Feeds one voice packet; true once, when the whole message has come.
  bool feed(const std::uint8_t* packet) {
    if (parts_ == done) return false;
    const std::uint8_t* d = packet + voice::slow_data;
    const auto b = assembler_.feed({d[0], d[1], d[2]});
    if (!b || slow::block_type((*b)[0]) != slow::type_text) return false;
    const std::size_t part = slow::block_count((*b)[0]);
    if (part >= slow::text_blocks) return false;
    for (std::size_t i = 0; i < slow::data_per_block; ++i)
      text_[part * slow::data_per_block + i] = (*b)[1 + i];
    parts_ |= static_cast<std::uint8_t>(1u << part);
    if (parts_ != all) return false;
    parts_ = done;
    return true;
  }
  const std::uint8_t* text() const { return text_; }

 private:
  static constexpr std::uint8_t all = 0x0F, done = 0x1F;
  slow::block_assembler assembler_;
  std::uint8_t text_[slow::text_length] = {};
  std::uint8_t parts_ = 0;  // a bit per part come; `done` once told
};

}  // namespace mirx
