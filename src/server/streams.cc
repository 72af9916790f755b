#include "server/streams.h"

#include <mutex>

#include "node/callsign.h"
#include "node/datagrams.h"
#include "server/dispatch.h"
#include "server/server.h"
#include "server/stop.h"

namespace mirx {
namespace {

// The ACC record the relay sent for this header: the last entry at the
// sender's address names the speaker's node.
record::bytes acc_of(const conference& c, std::uint32_t sender_ip, const std::uint8_t* header) {
  record::bytes acc = record::make(record::tag_acc);
  put_callsign(acc.data() + record::my_call, callsign_of(header + hdr::my_call));
  const auto& entries = c.table.entries();
  for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
    if (e->ip != sender_ip) continue;
    put_callsign(acc.data() + record::call1, e->call1);
    put_callsign(acc.data() + record::call2, e->call2);
    break;
  }
  return acc;
}

}  // namespace

void start_streams(server& s, std::int64_t bound_ms) {
  std::lock_guard<std::mutex> hold(io_lock());
  s.streams.start(s.link, static_cast<std::uint32_t>(s.cfg.log_heartbeat), bound_ms,
                  monotonic_ms());
}

void dispatch_tracked(server& s, dprs::state* dprs, const std::uint8_t* data, long length,
                      std::uint32_t sender_ip) {
  const bool header = length == static_cast<long>(hdr::size);
  if (header) s.streams.header_arrives(sender_ip);
  dispatch(s.conf, dprs, data, length, sender_ip);
  if (header)
    s.streams.header_relayed(sender_ip, acc_of(s.conf, sender_ip, data), monotonic_ms());
  else if (length == static_cast<long>(voice::size))
    s.streams.voice_relayed(sender_ip, data, monotonic_ms());
}

void tick_streams(server& s) {
  s.streams.tick(monotonic_ms(), s.conf.table.size());
}

void stop_streams(server& s) {
  s.streams.stop(monotonic_ms(), s.conf.table.size());
}

}  // namespace mirx
