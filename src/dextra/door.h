#pragma once

// The DExtra door: clients link to it on one UDP port and the conference
// links, as a client, to other reflectors' modules from the same port. Every
// module letter is the one conference. It speaks only through a `wire` and
// reports only through `door_events`, so it runs the same under a test as
// in the server.
//
// The streams it follows in and carries out are entries of the server's
// table of live streams, the one the stream log and the conference rules
// read: a stream ends for the door when that table finds it silent.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dextra/link_target.h"
#include "dextra/peer.h"
#include "dextra/wire.h"
#include "node/doors.h"
#include "node/live_streams.h"

namespace mirx::dextra {

// What the door asks of the server: who may link, where changes are
// reported, the way into the conference and the name service.
class door_events {
 public:
  virtual ~door_events() = default;
  // The access rules for a client's call sign (trailing spaces left out)
  // and address.
  virtual bool admits(std::string_view call, std::uint32_t ip) = 0;
  virtual void changed(const peer& p, peer_change what) = 0;
  // A stream of `p`, node-framed: into the conference.
  virtual void stream_header(const peer& p, const std::uint8_t* packet) = 0;
  virtual void stream_voice(const peer& p, const std::uint8_t* packet) = 0;
  // A link's host; nothing when it has no IPv4 address.
  virtual std::optional<std::uint32_t> resolve(const std::string& host) = 0;
};

struct door_config {
  std::string call;           // DExtraCall, 3..7 characters
  bool takes_clients = true;  // DExtraPort is set: link requests are answered
  std::uint8_t door_id = 1;   // its number among the conference's doors
  std::size_t most_clients = 1000;
};

class door final : public conference_door, public stream_reader {
 public:
  static constexpr std::int64_t keepalive_ms = 3000;
  static constexpr std::int64_t silent_ms = 30000;  // a peer silent this long is gone
  // A talker's stream keeps the same talker out from another door or link
  // until it has been silent this long: late copies of a looped stream.
  static constexpr std::int64_t loop_window_ms = stream_silence_ms;
  static constexpr int header_copies = 3;
  static constexpr std::int64_t first_backoff_ms = 3000;
  static constexpr std::int64_t longest_backoff_ms = 60000;
  // Streams followed in or carried out at once; a stream past it is
  // neither taken in nor carried out.
  static constexpr std::size_t most_streams = 1024;

  // `streams` is started, and outlives the door.
  door(door_config config, wire& net, door_events& events, live_streams& streams, std::int64_t now);

  void add_link(const link_target& target);

  // One datagram from `from`.
  void receive(const std::uint8_t* data, std::size_t length, const endpoint& from,
               std::int64_t now);
  // On the clock, at least every few hundred milliseconds: keepalives, the
  // silent dropped, links (re)linked.
  void tick(std::int64_t now);
  // A stream fell silent: one carried out without its end gets a closing
  // frame, so that its hearers' radios stop as they would at the end.
  void silent(live_stream& s) override;
  // The hosts of the links that will ask to be linked at the turn at `now`:
  // looked up before it, so that the turn finds their answers.
  std::vector<std::string> hosts_due(std::int64_t now) const;
  // The access rules changed: a linked client they now refuse is dropped
  // and sent the drop notice.
  void recheck_clients();

  // From the conference: carried to every peer but `from`'s.
  bool header(const std::uint8_t* packet, const stream_origin& from) override;
  void voice(const std::uint8_t* packet, const stream_origin& from) override;
  void send_to(const stream_origin& to, const std::uint8_t* packet, std::size_t length) override;
  // Sends the unlink request to every reflector linked or being asked. Its
  // clients are sent nothing: a client told it was dropped may stay
  // unlinked for good, while one that hears nothing relinks by itself once
  // the server is back, as after any outage.
  void stop() override;

  std::size_t client_count() const { return clients_.size(); }
  const std::vector<peer>& clients() const { return clients_; }
  stream_origin origin_of(const peer& p) const { return {config_.door_id, p.at.ip, p.at.port}; }

 private:
  enum class link_step { waiting, asking, up };
  struct link {
    link_target target;
    peer p;
    link_step step = link_step::waiting;
    std::int64_t next_ms = 0;
    int failures = 0;
  };

  peer* find_client(const endpoint& at);
  // The client, or the link that is up, at `at`; null when none.
  const peer* find_peer(const endpoint& at);
  // The entry of `from`, held by the door; null past the bound.
  live_stream* hold(const stream_origin& from);
  // A new stream carried out from `s`'s origin, with a fresh id; `header`
  // node-framed, or null when voice came first.
  void start_out(live_stream& s, const std::uint8_t* header);
  // Whether a talker `my` is being carried out from another origin than
  // `from`, or was less than the loop window ago.
  bool carried(const callsign& my, const stream_origin& from);
  // The DSVT sequence of a node-framed voice packet of `s`: 0 on the sync,
  // counted 0..20, the end flag on its last; marks `s` ended then.
  std::uint8_t next_sequence(door_stream& s, const std::uint8_t* packet);
  void fresh_id(std::uint8_t* id);
  link* find_link(const endpoint& at);
  void link_request(peer* known, const std::uint8_t* data, const endpoint& from);
  void remove_client(std::size_t index, peer_change why);
  void from_reflector(link& l, kind k, const std::uint8_t* data);
  void link_failed(link& l, peer_change why);
  void stream_in_header(peer& p, const std::uint8_t* data);
  void stream_in_voice(peer& p, const std::uint8_t* data);
  void tick_link(link& l);
  void send_header_to(const peer& p, const live_stream& s);
  // The closing frame of the stream carried out from `s`, whose end was
  // lost or that another stream from the same origin replaces.
  void close_out(const live_stream& s);
  // Every peer that hears the conference but `from`'s, in `to_`.
  void gather(const stream_origin& from);
  void send_gathered(const std::uint8_t* data, std::size_t length);

  door_config config_;
  wire& net_;
  door_events& events_;
  std::int64_t now_;
  std::int64_t last_keepalive_ms_;
  std::vector<peer> clients_;
  std::unordered_map<std::uint64_t, std::size_t> client_index_;
  std::vector<link> links_;
  live_streams& streams_;
  std::size_t held_ = 0;  // entries of streams_ the door holds
  std::uint32_t id_state_;
  std::uint16_t last_id_ = 0;
  std::vector<endpoint> to_;
};

}  // namespace mirx::dextra
