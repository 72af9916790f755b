#include "server/streams.h"

#include <mutex>

#include "node/datagrams.h"
#include "server/dispatch.h"
#include "server/server.h"
#include "server/stop.h"

namespace mirx {

void start_streams(server& s, std::int64_t bound_ms) {
  std::lock_guard<std::mutex> hold(io_lock());
  s.streams.start(s.link, static_cast<std::uint32_t>(s.cfg.log_heartbeat), bound_ms,
                  platform::monotonic_ms());
}

void dispatch_tracked(server& s, dprs::state* dprs, const std::uint8_t* data, long length,
                      std::uint32_t sender_ip) {
  const bool header = length == static_cast<long>(hdr::size);
  if (header) s.streams.header_arrives(sender_ip);
  dispatch(s.conf, dprs, data, length, sender_ip);
  if (header)
    s.streams.header_relayed(sender_ip, s.conf.last_acc, platform::monotonic_ms());
  else if (length == static_cast<long>(voice::size))
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
