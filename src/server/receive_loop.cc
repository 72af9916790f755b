#include <algorithm>

#include "node/datagrams.h"
#include "server/dispatch.h"
#include "server/server.h"
#include "server/stop.h"
#include "server/streams.h"

namespace mirx {
namespace {

// Everything that runs on the clock rather than on a datagram, at every wake
// of the loop; io_lock held.
void housekeeping(server& s) {
  controls_housekeeping(s);
  if (s.cfg.dprs_sw) s.serial_out.tick();
  const std::int64_t now = platform::monotonic_ms();
  // Silence is judged once for every reader: up to the moment every socket
  // that brings streams had been read when a rule keeps it, else (no
  // datagram held back) up to now.
  const std::int64_t heard = std::min(s.heard_ms, s.door_heard_ms);
  if (s.live.size() != 0)
    s.live.end_silent(s.rules.floor != nullptr || s.rules.echo != nullptr ? heard : now);
  if (s.streams.on()) tick_streams(s);
  if (s.rules.floor != nullptr) s.floor.tick(s.conf, now, heard);
  if (s.rules.echo != nullptr) s.echo_call.tick(s.conf, now, heard);
}

// How long the loop may wait for a datagram: the usual 200 ms, or less when
// an echo playback has a packet due sooner.
int wait_limit_ms(const server& s) {
  constexpr int usual_ms = 200;
  if (s.rules.echo == nullptr) return usual_ms;
  const std::int64_t due = s.echo_call.next_due_ms();
  if (due < 0) return usual_ms;
  const std::int64_t left = due - platform::monotonic_ms();
  return left <= 0 ? 0 : left < usual_ms ? static_cast<int>(left) : usual_ms;
}

// Whether nothing is queued on the socket (or the look failed). If so, every datagram that
// arrived before the look has been read, and `heard_ms` moves up to it.
bool drained(server& s) {
  const std::int64_t looked = platform::monotonic_ms();
  const platform::wait_result r = platform::wait_readable(s.in_socket, 0);
  if (r == platform::wait_result::readable) return false;
  if (r == platform::wait_result::timed_out) s.heard_ms = looked;
  return true;
}

// Whether a datagram is there to read. With a rule on, what is queued is
// read before the rules judge any stream silent: a loop that stalled (a
// console that blocked, the process stopped) would otherwise take the
// queued voice of a refused or echo stream for voice after its end, and
// relay it. That costs one look more per datagram, only with a rule on.
bool wait_for_datagram(server& s) {
  const auto wait = [&s] {
    return platform::wait_readable(s.in_socket, wait_limit_ms(s)) ==
           platform::wait_result::readable;
  };
  if (s.rules.floor == nullptr && s.rules.echo == nullptr) return wait();
  if (!drained(s)) return true;
  return wait() || !drained(s);
}

// One received datagram: screened by the controls, then handed to its
// handler, with the stream log told about it when that is on; io_lock held.
void handle_datagram(server& s, const std::uint8_t* data, long length, std::uint32_t sender_ip) {
  if (!controls_admit(s, data, length, sender_ip)) return;
  dprs::state* dprs = s.cfg.dprs_sw ? &s.dprs : nullptr;
  if (!s.streams.on()) {
    dispatch(s.conf, dprs, data, length, sender_ip, s.rules);
    return;
  }
  stream_before_dispatch(s, kind_of(length), sender_ip);
  stream_after_dispatch(s, dispatch(s.conf, dprs, data, length, sender_ip, s.rules), data,
                        sender_ip);
}

}  // namespace

void receive_loop(server& s) {
  // One buffer serves every datagram. It holds the largest datagram the
  // server handles; the receive reports a longer one's real length, and the
  // dispatch then drops it rather than taking its first 56 bytes for a header.
  static std::uint8_t buffer[max_datagram];
  for (;;) {
    const bool readable = wait_for_datagram(s);
    // Checked before the lock is taken: a stop may close everything as soon
    // as the loop lets go of it.
    if (stop_under_way()) stay_stopped();
    std::lock_guard<std::mutex> hold(io_lock());
    housekeeping(s);
    if (!readable) continue;
    const platform::received r = platform::receive(s.in_socket, buffer, sizeof buffer);
    if (s.link.sent_it(r)) continue;
    handle_datagram(s, buffer, r.length, r.sender_ip);
  }
}

}  // namespace mirx
