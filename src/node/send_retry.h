#pragma once

#include <cstddef>
#include <cstdint>

#include "node/conference.h"

namespace mirx {

// How a failed send to a node is reported and repeated.
struct retry_rule {
  int line_number;  // the N of its failure line, "send error N:<code> <address>"
  int wait_ms;      // pause before each repetition
  bool also_log;    // the failure line also goes into the log file
};

// The failure line number of every relayed datagram and of the
// acknowledgement's voice packets; the acknowledgement's header has 1.
inline constexpr int relay_failure_line = 2;
// A relayed header's failure line goes to the console alone, a voice
// packet's into the log file too; the echo test's playback follows the same.
inline constexpr retry_rule relay_header_rule{relay_failure_line, 50, false};
inline constexpr retry_rule relay_voice_rule{relay_failure_line, 50, true};

// Sends to a node. A failure prints its line once; a failure for want of
// buffer space is repeated after a pause for as long as it lasts, since the
// kernel frees buffers quickly; any other failure is final. Never stops the
// caller: the datagram is simply not delivered.
void send_with_retry(conference& c, const std::uint8_t* data, std::size_t length, std::uint32_t ip,
                     const retry_rule& rule);

// What send_with_retry does once the first send to `ip` has failed with
// `error`: for callers that made that first send themselves.
void handle_send_failure(conference& c, const std::uint8_t* data, std::size_t length,
                         std::uint32_t ip, const retry_rule& rule, int error);

}  // namespace mirx
