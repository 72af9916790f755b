// Feeds the D-PRS step any stream of slow-data bytes, three per voice packet
// (a trailing part of a packet is ignored). The first byte switches debug on
// (bit 0) and the serial port off (bit 1). Every write to the port is held to
// a plain reading of the block rules: the sync pattern starts over, two
// halves make a block, a block of type 3 sends its first min(count, 5) data
// bytes, descrambled, and nothing else is ever written. The same halves also
// go to the stream decoder that nodes use on what they receive, which must
// stay within its bounds whatever arrives.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "dprs/dprs.h"
#include "nodelib/slow_stream.h"

namespace {

using bytes = std::vector<std::uint8_t>;

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

class recording_sink final : public mirx::dprs::byte_sink {
 public:
  std::vector<bytes> writes;
  void write(const std::uint8_t* data, std::size_t length) override {
    writes.emplace_back(data, data + length);
  }
};

// The expected writes, block by block.
class reference {
 public:
  std::vector<bytes> writes;
  void feed(const std::uint8_t* b) {
    if (b[0] == 0x55 && b[1] == 0x2D && b[2] == 0x16) {
      second_ = false;
      return;
    }
    const std::uint8_t pattern[3] = {0x70, 0x4F, 0x93};
    for (int i = 0; i < 3; ++i) block_[(second_ ? 3 : 0) + i] = b[i] ^ pattern[i];
    if (!second_) {
      second_ = true;
      return;
    }
    second_ = false;
    if ((block_[0] >> 4) != 3) return;
    const int n = (block_[0] & 0x0F) > 5 ? 5 : (block_[0] & 0x0F);
    if (n > 0) writes.emplace_back(block_ + 1, block_ + 1 + n);
  }

 private:
  std::uint8_t block_[6] = {};
  bool second_ = false;
};

std::FILE* null_file() {
  static std::FILE* f = std::fopen("/dev/null", "w");
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  output out;
  out.console = null_file();
  out.debug = (data[0] & 1) != 0;
  recording_sink sink;
  mirx::dprs::state s;
  s.port = (data[0] & 2) != 0 ? nullptr : &sink;
  reference ref;
  mirx::slow::stream_decoder decoder;
  std::size_t frames = 0;
  for (std::size_t at = 1; at + 3 <= size; at += 3, ++frames) {
    // Each packet's bytes alone, so that reading past them is caught.
    const bytes packet(data + at, data + at + 3);
    mirx::dprs::process_slow_data(s, out, packet.data());
    ref.feed(packet.data());
    decoder.feed(frames, {packet[0], packet[1], packet[2]});
  }
  require(decoder.text().size() == mirx::slow::text_length, "a decoded text has 20 characters");
  require(decoder.position().size() <= frames / 2 * 5, "at most five position bytes a block");
  if (s.port == nullptr) return 0;
  require(sink.writes == ref.writes, "serial writes are the position blocks' data bytes");
  return 0;
}
