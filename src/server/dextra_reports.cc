#include "server/dextra_reports.h"

#include <cstring>
#include <string>

#include "platform/ipv4.h"

namespace mirx {

callsign connection_of(const dextra::peer& p) {
  callsign c{};
  std::memcpy(c.data(), p.kind == dextra::peer_kind::client ? "DExtra  " : "DXLink  ", call_size);
  c[call_size - 1] = p.module;
  return c;
}

record::bytes peer_record(const dextra::peer& p, dextra::peer_change what) {
  record::bytes r =
      record::make(p.kind == dextra::peer_kind::client ? record::tag_dxc : record::tag_dxl);
  r[record::peer_change] = static_cast<std::uint8_t>(what);
  std::memcpy(r.data() + record::call1, p.call, call_size);
  put_callsign(r.data() + record::call2, connection_of(p));
  std::memcpy(r.data() + record::ip, &p.at.ip, 4);
  record::put_number(r, record::peer_port, p.at.port, 2);
  r[record::peer_module] = static_cast<std::uint8_t>(p.module);
  return r;
}

namespace {

// Which peer a line speaks of: a client's lines are events, shown with -i
// or -d; a link's are shown always.
enum class peer_side { client, link };

// "DExtra client CALL at ADDRESS" or "DExtra link CALL at ADDRESS", then
// `then`: the lines that say no more of the peer than where it is.
void say_at(output& out, peer_side side, const char* call, const std::string& at,
            const char* then) {
  const bool client = side == peer_side::client;
  out.stamped(client ? shown::event : shown::always, "DExtra %s %s at %s%s\n",
              client ? "client" : "link", call, at.c_str(), then);
}

}  // namespace

void say_peer_change(output& out, const dextra::peer& p, dextra::peer_change what,
                     std::size_t most_clients) {
  using enum dextra::peer_change;
  const shown_callsign shown_call = printable(callsign_of(p.call));
  const char* call = shown_call.text;
  const std::string at = std::string(dotted(p.at.ip).text) + ":" + std::to_string(p.at.port);
  switch (what) {
    case linked:
      return out.stamped(shown::event, "DExtra client %s linked from %s to module %c\n", call,
                         at.c_str(), p.module);
    case unlinked:
      return out.stamped(shown::event, "DExtra client %s unlinked from %s\n", call, at.c_str());
    case dropped:
      return say_at(out, peer_side::client, call, at, " dropped: silent 30 s");
    case refused:
      return say_at(out, peer_side::client, call, at, " refused: not admitted");
    case full:
      return out.stamped(shown::event, "DExtra client %s at %s refused: %u clients linked\n", call,
                         at.c_str(), static_cast<unsigned>(most_clients));
    case link_trying:
      return say_at(out, peer_side::link, call, at, ": linking");
    case link_up:
      return say_at(out, peer_side::link, call, at, ": linked");
    case link_refused:
      return say_at(out, peer_side::link, call, at, ": refused, asking again later");
    case link_lost:
      return say_at(out, peer_side::link, call, at, ": lost, relinking");
    case link_unknown:
      return out.stamped(shown::always, "DExtra link %s: its host has no address, trying later\n",
                         call);
  }
}

}  // namespace mirx
