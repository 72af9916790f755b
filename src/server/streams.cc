#include "server/streams.h"

#include <mutex>

#include "server/server.h"
#include "server/stop.h"

namespace mirx {

void start_streams(server& s, std::int64_t bound_ms) {
  std::lock_guard<std::mutex> hold(io_lock());
  if (!s.live.on()) s.live.start();
  s.streams.start(s.link, static_cast<std::uint32_t>(s.cfg.log_heartbeat), bound_ms,
                  platform::monotonic_ms(), &s.live);
}

void stream_before_dispatch(server& s, datagram_kind kind, std::uint32_t sender_ip) {
  if (kind == datagram_kind::header) s.streams.header_arrives(sender_ip);
}

void stream_after_dispatch(server& s, const dispatched& d, const std::uint8_t* data,
                           std::uint32_t sender_ip) {
  if (!d.relayed) return;
  if (d.kind == datagram_kind::header)
    s.streams.header_relayed(sender_ip, d.acc, platform::monotonic_ms(), data);
  else if (d.kind == datagram_kind::voice)
    s.streams.voice_relayed(sender_ip, data, platform::monotonic_ms());
}

void tick_streams(server& s) {
  if (s.streams.tick(platform::monotonic_ms(), s.conf.table.size()))
    s.echo.send_slice(s.conf.table, s.link);
}

void stop_streams(server& s) {
  s.streams.stop(platform::monotonic_ms(), s.conf.table.size());
}

}  // namespace mirx
