#pragma once

// The conference's other doors: ways in besides the node protocol (DExtra
// today; DCS or DPlus would be one more door each). Every stream, whichever
// door it came through, goes node-framed to every node and to every door;
// each door carries it to its own peers in its own framing, never to the
// peer it came from.

#include <cstddef>
#include <cstdint>

namespace mirx {

// Where a stream came in: a node (door 0, by its address alone, as nodes are
// known) or a peer of another door, by address and port.
struct stream_origin {
  static constexpr std::uint8_t node_door = 0;
  std::uint8_t door = node_door;
  std::uint32_t ip = 0;  // network byte order
  std::uint16_t port = 0;

  constexpr stream_origin() = default;
  // A node, known by its address alone: where the server follows streams
  // by a node's address, that address is its origin.
  constexpr stream_origin(std::uint32_t node_ip) : ip(node_ip) {}  // NOLINT: implicit on purpose
  constexpr stream_origin(std::uint8_t d, std::uint32_t address, std::uint16_t p)
      : door(d), ip(address), port(p) {}
  bool from_node() const { return door == node_door; }
  bool operator==(const stream_origin&) const = default;
};

class conference_door {
 public:
  virtual ~conference_door() = default;
  // A node-framed header of a stream from `from`; true when any peer of the
  // door was sent it.
  virtual bool header(const std::uint8_t* packet, const stream_origin& from) = 0;
  // A node-framed voice packet of a stream from `from`.
  virtual void voice(const std::uint8_t* packet, const stream_origin& from) = 0;
  // A node-framed header or voice packet for the peer `to` alone (an echo
  // test's playback); ignored unless `to` is one of this door's peers.
  virtual void send_to(const stream_origin& to, const std::uint8_t* packet, std::size_t length) = 0;
  // The server stops cleanly: the door takes its leave of its peers as its
  // protocol expects. Nothing arrives through it afterwards.
  virtual void stop() {}
};

}  // namespace mirx
