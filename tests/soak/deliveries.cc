#include "soak/deliveries.h"

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>

#include "node/datagrams.h"

namespace mirx::soak {
namespace {

constexpr std::size_t kept_problems = 10;
constexpr int batch = 64;
constexpr std::size_t receive_size = 2048;

}  // namespace

void deliveries::expect_copy(std::size_t station, const bytes& data) {
  if (copies_.empty() || copies_.back() != data) copies_.push_back(data);
  pending_[station].push_back({copies_.size() - 1, -1});
  ++counts_.expected;
}

void deliveries::expect_ack(std::size_t station, int n) {
  pending_[station].push_back({0, n});
  ++counts_.expected;
}

void deliveries::problem(std::string what) {
  if (problems_.size() < kept_problems) problems_.push_back(std::move(what));
}

// An acknowledgement is checked for its shape only: its content is the unit
// tests' business.
void deliveries::check(std::size_t station, const std::uint8_t* data, std::size_t length) {
  auto& queue = pending_[station];
  if (queue.empty()) {
    ++counts_.wrong;
    return problem("station " + std::to_string(station) + ": unexpected datagram of " +
                   std::to_string(length) + " bytes");
  }
  const due d = queue.front();
  queue.pop_front();
  bool ok;
  if (d.ack >= 0) {
    const std::size_t size = d.ack == 0 ? hdr::size : voice::size;
    const std::uint8_t kind = d.ack == 0 ? prefix::kind_header : prefix::kind_voice;
    ok = length == size && data[prefix::packet_kind] == kind &&
         (d.ack == 0 || data[prefix::sequence + 1] == d.ack - 1);
  } else {
    const bytes& want = copies_[d.copy];
    ok = length == want.size() && std::memcmp(data, want.data(), length) == 0;
  }
  if (ok) {
    ++counts_.verified;
    return;
  }
  ++counts_.wrong;
  problem("station " + std::to_string(station) + ": datagram of " + std::to_string(length) +
          " bytes differs from the one expected");
}

void deliveries::take(std::size_t station, const nodes::udp_endpoint& socket) {
  static std::uint8_t buffers[batch][receive_size];
  mmsghdr messages[batch];
  iovec vectors[batch];
  for (;;) {
    for (int i = 0; i < batch; ++i) {
      vectors[i] = {buffers[i], receive_size};
      messages[i] = {};
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = ::recvmmsg(static_cast<int>(socket.fd()), messages, batch, MSG_DONTWAIT, nullptr);
    if (n <= 0) return;
    for (int i = 0; i < n; ++i) check(station, buffers[i], messages[i].msg_len);
  }
}

bool deliveries::wait_all(std::size_t station, const nodes::udp_endpoint& socket, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  take(station, socket);
  while (!pending_[station].empty() && std::chrono::steady_clock::now() < deadline) {
    pollfd p{static_cast<int>(socket.fd()), POLLIN, 0};
    ::poll(&p, 1, 20);
    take(station, socket);
  }
  return pending_[station].empty();
}

void deliveries::end_round() {
  for (std::size_t s = 0; s < pending_.size(); ++s) {
    if (pending_[s].empty()) continue;
    counts_.lost += pending_[s].size();
    problem("station " + std::to_string(s) + ": " + std::to_string(pending_[s].size()) +
            " datagrams never arrived");
    pending_[s].clear();
  }
  copies_.clear();
}

}  // namespace mirx::soak
