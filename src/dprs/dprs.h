#pragma once

// D-PRS output: position reports travel in the slow data of voice packets as
// blocks of type 3. The server rebuilds the blocks from every voice packet it
// receives, whoever sent it, and writes the data bytes of each position block
// raw to a serial port.

#include <cstddef>
#include <cstdint>

#include "dprs/slow_data.h"
#include "output/output.h"

namespace mirx::dprs {

// Where position bytes go: the serial port, or a stand-in in tests.
class byte_sink {
 public:
  virtual ~byte_sink() = default;
  // All `length` bytes of one block, handed over at once; never waits.
  virtual void write(const std::uint8_t* data, std::size_t length) = 0;
};

// One shared state for all senders: the server does not tell streams apart.
struct state {
  slow::block_assembler assembler;
  byte_sink* port = nullptr;  // null: the port could not be opened
};

// Takes the three slow-data bytes of one received voice packet.
void process_slow_data(state& s, output& out, const std::uint8_t* slow_data);

}  // namespace mirx::dprs
