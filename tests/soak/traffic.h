#pragma once

// The soak's traffic: stations registering, moving, disconnecting and
// talking in interleaved streams, mixed with junk of every length and with
// hostile registrations from strangers. Deterministic for a given seed.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace mirx::soak {

using bytes = std::vector<std::uint8_t>;

enum class what { header, voice, registration, disconnect, junk, hostile, sync };
inline constexpr int what_count = 7;
const char* name_of(what w);

// A station is a node socket listening at OutPort on its own loopback
// address; a stranger is a socket at another loopback address that never
// listens where the server sends.
struct origin {
  bool stranger = false;
  int index = 0;
};

struct planned {
  origin from;
  what kind;
  bytes data;
};

class traffic {
 public:
  traffic(std::uint64_t seed, int stations, int strangers);
  // Appends the datagrams of the next action: one registration, disconnect,
  // burst of junk or stream step.
  void next(std::vector<planned>& out);

 private:
  struct stream {
    origin from;
    int remaining;
    std::uint16_t sequence;
    std::uint16_t id;
  };
  origin any_station();
  origin any_stranger();
  std::string any_call();
  void start_stream(std::vector<planned>& out);
  void continue_stream(std::vector<planned>& out);
  void junk(std::vector<planned>& out);
  void hostile(std::vector<planned>& out);
  bytes random_bytes(std::size_t n, std::size_t random_prefix);
  int below(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }

  std::mt19937_64 rng_;
  int stations_, strangers_;
  std::vector<stream> streams_;
  std::uint16_t next_id_ = 1;
  std::uint64_t junk_count_ = 0;
};

}  // namespace mirx::soak
