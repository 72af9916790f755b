// Feeds the DExtra door any sequence of datagrams from eight peers at four
// addresses and two ports each, interleaved with streams from the
// conference and turns of the clock (the door's, then the streams' silence). Input: records of one
// control byte (bits 0-2 the peer, bits 3-4 what happens: a datagram, the clock, a conference
// header, a conference voice frame), one length byte, then that many bytes (at most 56). Whatever
// arrives, the door sends only datagrams of the DExtra sizes, every header it sends has repeater
// fields and a suffix that the strictest reflector accepts and a right checksum (the talker's call
// sign is passed on as it came), it never sends a stream back to the peer it came from, and it
// keeps no more clients than its bound.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "dextra/door.h"
#include "node/datagrams.h"

namespace {

using namespace mirx;
using namespace mirx::dextra;

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

endpoint peer_at(unsigned i) {
  return {0x0100007fu + ((i & 3u) << 24), static_cast<std::uint16_t>(30001 + (i >> 2))};
}

struct checking_wire final : wire {
  std::optional<endpoint> origin;  // of the stream being relayed, if a peer's
  int send(const std::uint8_t* data, std::size_t length, const endpoint& to) override {
    const bool known = length == ctl::keepalive_size || length == ctl::request_size ||
                       length == ctl::answer_size || length == dsvt::voice_size ||
                       length == dsvt::header_size;
    require(known, "a datagram of a DExtra size");
    if (length == dsvt::header_size) {
      require(kind_of(data, length) == kind::header, "a DSVT header");
      require(plausible_call(data + dsvt::rpt1) && plausible_call(data + dsvt::rpt2) &&
                  plausible_suffix(data + dsvt::my_suffix),
              "plausible repeater fields and suffix");
      require(header_crc_ok(data), "a right checksum");
    }
    if (length >= dsvt::voice_size && origin) require(!(to == *origin), "never back to its origin");
    return (to.port & 1) != 0 && data[0] == 'D' ? 105 : 0;  // some sends fail
  }
};

struct null_events final : door_events {
  door* d = nullptr;
  checking_wire* net = nullptr;
  bool admits(std::string_view call, std::uint32_t) override { return call.size() != 4; }
  void changed(const peer&, peer_change) override {}
  void stream_header(const peer& p, const std::uint8_t* packet) override {
    net->origin = p.at;
    d->header(packet, d->origin_of(p));  // as the conference hands it back
    net->origin.reset();
  }
  void stream_voice(const peer& p, const std::uint8_t* packet) override {
    net->origin = p.at;
    d->voice(packet, d->origin_of(p));
    net->origin.reset();
  }
  std::optional<std::uint32_t> resolve(const std::string&) override { return 0x0100007fu; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  checking_wire net;
  null_events events;
  std::int64_t now = 1000;
  live_streams streams;
  streams.start();
  door d({"XRF999", true, 1, 5}, net, events, streams, now);
  events.d = &d;
  events.net = &net;
  d.add_link({"XRF001", 'B', "ref", 30001});
  for (std::size_t at = 0; at + 2 <= size;) {
    const std::uint8_t control = data[at];
    const std::size_t length = std::min<std::size_t>(data[at + 1], hdr::size);
    at += 2;
    if (at + length > size) break;
    const std::uint8_t* body = data + at;
    at += length;
    const unsigned who = control & 7u;
    std::uint8_t packet[hdr::size] = {};
    std::memcpy(packet, body, length);
    switch ((control >> 3) & 3u) {
      case 0:
        d.receive(body, length, peer_at(who), now);
        break;
      case 1:
        now += 100 * (length + 1);
        d.tick(now);
        streams.end_silent(now);
        break;
      case 2:
        // A node's header: plausible fields as the door's rules ask.
        put_call(packet + hdr::rpt1_call, "N0DE");
        put_call(packet + hdr::rpt2_call, "N0DE");
        put_call(packet + hdr::my_call, "DL1ABC");
        std::memcpy(packet + hdr::my_suffix, "    ", 4);
        d.header(packet, stream_origin(0x0900007fu + (who << 24)));
        break;
      default:
        d.voice(packet, stream_origin(0x0900007fu + (who << 24)));
        break;
    }
    require(d.client_count() <= 5, "no more clients than the bound");
  }
  return 0;
}
