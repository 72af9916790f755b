#include "soak/traffic.h"

#include <algorithm>
#include <cstring>

#include "nodelib/packets.h"

namespace mirx::soak {
namespace {

// More call signs than stations, so that registrations both add and move.
constexpr int call_pool = 40;
constexpr int max_streams = 3;
constexpr std::size_t largest_udp = 65507;

}  // namespace

const char* name_of(what w) {
  static constexpr const char* names[] = {
      "header", "voice", "registration", "disconnect", "junk", "hostile registration", "sync"};
  return names[static_cast<int>(w)];
}

traffic::traffic(std::uint64_t seed, int stations, int strangers)
    : rng_(seed), stations_(stations), strangers_(strangers) {}

origin traffic::any_station() {
  return {false, below(stations_)};
}

origin traffic::any_stranger() {
  return {true, below(strangers_)};
}

std::string traffic::any_call() {
  return "SK" + std::to_string(below(call_pool));
}

bytes traffic::random_bytes(std::size_t n, std::size_t random_prefix) {
  bytes b(n, static_cast<std::uint8_t>(n));
  for (std::size_t i = 0; i < std::min(n, random_prefix); ++i)
    b[i] = static_cast<std::uint8_t>(rng_());
  return b;
}

void traffic::next(std::vector<planned>& out) {
  const int roll = below(100);
  if (roll < 8) {
    const char* ids[] = {"RS", "SI"};
    const std::string call2 = std::string("GW-") + static_cast<char>('A' + below(3));
    const auto r = nodes::make_registration(any_call(), call2, ids[below(2)]);
    out.push_back({any_station(), what::registration, bytes(r.begin(), r.end())});
  } else if (roll < 11) {
    out.push_back({any_station(), what::disconnect, random_bytes(16, 16)});
  } else if (roll < 30) {
    junk(out);
  } else if (roll < 31) {
    hostile(out);
  } else if (roll < 33) {
    // Strangers leave twice as often as they register, so that their entries
    // come and go instead of piling up.
    out.push_back({any_stranger(), what::disconnect, random_bytes(16, 16)});
  } else if (roll < 38 || streams_.empty()) {
    start_stream(out);
  } else {
    continue_stream(out);
  }
}

void traffic::start_stream(std::vector<planned>& out) {
  if (streams_.size() >= max_streams) return continue_stream(out);
  // Now and then a stranger talks: an unregistered sender is relayed too.
  const origin from = below(20) == 0 ? any_stranger() : any_station();
  stream s{from, 5 + below(40), 0, next_id_++};
  nodes::header_fields f;
  f.my_call = any_call();
  f.rpt1_call = "RPT" + std::to_string(below(10));
  const auto h = nodes::make_header(f, s.id);
  out.push_back({from, what::header, bytes(h.begin(), h.end())});
  streams_.push_back(s);
}

void traffic::continue_stream(std::vector<planned>& out) {
  const std::size_t i = static_cast<std::size_t>(below(static_cast<int>(streams_.size())));
  stream& s = streams_[i];
  const bytes slow = random_bytes(3, 3);
  auto v = nodes::make_voice(s.sequence++, {slow[0], slow[1], slow[2]}, s.id);
  for (std::size_t k = 0; k < voice::frame_size; ++k)
    v[voice::frame + k] = static_cast<std::uint8_t>(rng_());
  out.push_back({s.from, what::voice, bytes(v.begin(), v.end())});
  if (--s.remaining == 0) streams_.erase(streams_.begin() + static_cast<std::ptrdiff_t>(i));
}

// Junk of every length: a sweep through 0..127 bytes, and every eighth one
// anywhere up to the largest UDP payload. Only the first bytes are random;
// the server never looks further. A junk datagram whose length the server
// handles is handled like any other: a 40-byte one that happens to begin
// "RS" or "SI" registers.
void traffic::junk(std::vector<planned>& out) {
  const int burst = 1 + below(3);
  for (int k = 0; k < burst; ++k) {
    const std::uint64_t n = junk_count_++;
    const std::size_t length = n % 8 == 7
                                   ? 128 + static_cast<std::size_t>(rng_() % (largest_udp - 127))
                                   : (n - n / 8) % 128;
    out.push_back(
        {below(4) == 0 ? any_station() : any_stranger(), what::junk, random_bytes(length, 64)});
  }
}

// A registration from a stranger with call signs of arbitrary bytes (zero
// bytes and line breaks included), so that the table holds entries whose
// address nobody listens at, and whose names must not break the log's lines.
void traffic::hostile(std::vector<planned>& out) {
  bytes b = random_bytes(reg::size, reg::size);
  b[0] = 'R';
  b[1] = 'S';
  out.push_back({any_stranger(), what::hostile, std::move(b)});
}

}  // namespace mirx::soak
