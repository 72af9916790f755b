#include "dprs/dprs.h"

#include <algorithm>

namespace mirx::dprs {

void process_slow_data(state& s, output& out, const std::uint8_t* slow_data) {
  const auto done = s.assembler.feed({slow_data[0], slow_data[1], slow_data[2]});
  if (!done || slow::block_type((*done)[0]) != slow::type_position) return;
  // A block holds at most five data bytes, whatever its count says.
  const std::size_t n = std::min<std::size_t>(slow::block_count((*done)[0]), slow::data_per_block);
  if (n == 0) return;
  if (s.port != nullptr) s.port->write(done->data() + 1, n);
  if (!out.debug) return;
  // The bytes as they are, a zero byte included, in one console write.
  out.say_text(shown::debug, reinterpret_cast<const char*>(done->data() + 1), n);
  std::fflush(out.console);
}

}  // namespace mirx::dprs
