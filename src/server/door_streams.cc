#include "server/door_streams.h"

#include "node/relay.h"
#include "server/server.h"

namespace mirx {

void door_header(server& s, const stream_origin& from, const callsign& call1, const callsign& call2,
                 const std::uint8_t* packet) {
  const std::int64_t now = platform::monotonic_ms();
  if (s.streams.on()) s.streams.header_arrives(from);
  // An echo test's header is kept, as a node's is, and played back through
  // the door to this peer alone.
  const callsign names[2] = {call1, call2};
  if (s.rules.echo != nullptr && s.echo_call.header(s.conf, from, packet, now, names)) {
    if (s.rules.floor != nullptr) s.floor.forget(from);
    return;
  }
  // A refused header is reported by the rules; its peer gets no
  // acknowledgement, and its voice is dropped by the same rules.
  if (s.rules.floor != nullptr && s.floor.header(s.conf, from, packet, now) != floor_verdict::relay)
    return;
  const record::bytes acc = relay_door_header(s.conf, from, call1, call2, packet);
  if (s.streams.on()) s.streams.header_relayed(from, acc, now, packet);
}

void door_voice(server& s, const stream_origin& from, const std::uint8_t* packet) {
  const std::int64_t now = platform::monotonic_ms();
  if (s.rules.echo != nullptr && s.echo_call.voice(from, packet, now)) return;
  if (s.rules.floor != nullptr && s.floor.voice(s.conf, from, packet, now) != floor_verdict::relay)
    return;
  relay_door_voice(s.conf, from, packet);
  if (s.streams.on()) s.streams.voice_relayed(from, packet, now);
}

}  // namespace mirx
