#include "node/datagrams.h"
#include "server/dispatch.h"
#include "server/server.h"
#include "server/stop.h"
#include "server/streams.h"

namespace mirx {

void receive_loop(server& s) {
  // One buffer serves every datagram. It holds the largest datagram the
  // server handles; the receive reports a longer one's real length, and the
  // dispatch then drops it rather than taking its first 56 bytes for a header.
  static std::uint8_t buffer[max_datagram];
  dprs::state* dprs = s.cfg.dprs_sw ? &s.dprs : nullptr;
  for (;;) {
    const bool readable =
        platform::wait_readable(s.in_socket, 200) == platform::wait_result::readable;
    // Checked before the lock is taken: a stop may close everything as soon
    // as the loop lets go of it.
    if (stop_under_way()) stay_stopped();
    tick_controls(s);  // takes the lock itself, so never after a stop began
    std::lock_guard<std::mutex> hold(io_lock());
    if (dprs != nullptr) s.serial_out.tick();
    if (s.streams.on()) tick_streams(s);
    if (!readable) continue;
    const platform::received r = platform::receive(s.in_socket, buffer, sizeof buffer);
    if (s.ctl.gate.screening && !screen_datagram(s.ctl.gate, s.conf, buffer, r.length, r.sender_ip))
      continue;
    if (s.streams.on())
      dispatch_tracked(s, dprs, buffer, r.length, r.sender_ip);
    else
      dispatch(s.conf, dprs, buffer, r.length, r.sender_ip);
  }
}

}  // namespace mirx
