#pragma once

// The DExtra door: clients link to it on one UDP port and the conference
// links, as a client, to other reflectors' modules from the same port. Every
// module letter is the one conference. It speaks only through a `wire` and
// reports only through `door_events`, so it runs the same under a test as
// in the server.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dextra/link_target.h"
#include "dextra/out_streams.h"
#include "dextra/peer.h"
#include "dextra/wire.h"
#include "node/doors.h"

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

class door final : public conference_door {
 public:
  static constexpr std::int64_t keepalive_ms = 3000;
  static constexpr std::int64_t silent_ms = 30000;  // a peer silent this long is gone
  // A stream without voice this long has ended (its end mark was lost).
  static constexpr std::int64_t stream_silence_ms = 2000;
  // A talker's stream that ended less than this ago still keeps the same
  // talker out from another door or link: late copies of a looped stream.
  static constexpr std::int64_t loop_window_ms = 2000;
  static constexpr int header_copies = 3;
  static constexpr std::int64_t first_backoff_ms = 3000;
  static constexpr std::int64_t longest_backoff_ms = 60000;

  door(door_config config, wire& net, door_events& events, std::int64_t now);

  void add_link(const link_target& target);

  // One datagram from `from`.
  void receive(const std::uint8_t* data, std::size_t length, const endpoint& from,
               std::int64_t now);
  // On the clock, at least every few hundred milliseconds: keepalives, the
  // silent dropped, lost ends closed, links (re)linked.
  void tick(std::int64_t now);

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
  // The DSVT sequence of a node-framed voice packet of `s`, the end flag on
  // its last; marks `s` ended then.
  std::uint8_t next_sequence(out_stream& s, const std::uint8_t* packet);
  link* find_link(const endpoint& at);
  void link_request(peer* known, const std::uint8_t* data, const endpoint& from);
  void remove_client(std::size_t index, peer_change why);
  void from_reflector(link& l, kind k, const std::uint8_t* data);
  void link_failed(link& l, peer_change why);
  void stream_in_header(peer& p, const std::uint8_t* data);
  void stream_in_voice(peer& p, const std::uint8_t* data);
  void tick_link(link& l);
  void send_header_to(const peer& p, const out_stream& s);
  void close_lost_streams();
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
  out_streams out_;
  std::vector<endpoint> to_;
};

}  // namespace mirx::dextra
