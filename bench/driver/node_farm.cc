#include "driver/node_farm.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>

namespace mirx::bench {
namespace {

// Each node's queue may hold this much while the drain thread waits for a
// core: far more than any phase puts into one socket.
constexpr int node_queue_bytes = 32 << 20;
constexpr unsigned batch = 64;
constexpr std::size_t slot = 64;  // bytes kept of each datagram: more than any relayed one

std::int64_t ns_of(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

std::uint32_t node_address(int index) {
  return *mirx::parse_ipv4("127.0." + std::to_string(1 + index / 250) + "." +
                           std::to_string(1 + index % 250));
}

std::unique_ptr<node_farm> node_farm::bind(int count, std::string* why) {
  std::unique_ptr<node_farm> owner(new node_farm);
  node_farm& f = *owner;
  for (int i = 0; i < count; ++i) {
    auto n = nodes::udp_endpoint::bind(nodes::dotted(node_address(i)), f.port_, why);
    if (!n) return nullptr;
    f.port_ = n->port();
    const int on = 1;
    ::setsockopt(static_cast<int>(n->fd()), SOL_SOCKET, SO_RCVBUFFORCE, &node_queue_bytes,
                 sizeof node_queue_bytes);
    ::setsockopt(static_cast<int>(n->fd()), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    f.nodes_.push_back(std::move(*n));
  }
  f.epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  for (const auto& n : f.nodes_) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = static_cast<int>(n.fd());
    ::epoll_ctl(f.epoll_, EPOLL_CTL_ADD, static_cast<int>(n.fd()), &e);
  }
  return owner;
}

node_farm::~node_farm() {
  if (drainer_.joinable()) stop_draining();
  if (epoll_ >= 0) ::close(epoll_);
}

void node_farm::start_draining() {
  counts_.relayed = counts_.other = 0;
  counts_.latency.clear();
  relayed_ = 0;
  stop_ = false;
  drainer_ = std::thread([this] { drain(); });
}

farm_counts node_farm::stop_draining() {
  stop_ = true;
  drainer_.join();
  return counts_;
}

void node_farm::take(const std::uint8_t* data, std::size_t length, std::int64_t arrived_ns) {
  if ((length != 27 && length != 56) || std::memcmp(data, relayed_mark, 4) != 0) {
    ++counts_.other;
    return;
  }
  ++counts_.relayed;
  if (length == 27) {
    std::int64_t sent_ns;
    std::memcpy(&sent_ns, data + sent_at, sizeof sent_ns);
    counts_.latency.add(arrived_ns - sent_ns);
  }
}

// Sweeps every 5 ms rather than waking for each datagram: the arrival time
// comes from the kernel's stamp, so a late read changes nothing measured,
// and a drain that sleeps leaves the relays more of the machine and spares
// them a wake-up per delivery. Bounded by the stop flag, looked at every
// sweep.
void node_farm::drain() {
  static thread_local std::uint8_t data[batch][slot];
  static thread_local std::uint8_t control[batch][64];
  mmsghdr msgs[batch];
  iovec iov[batch];
  epoll_event ready[256];
  while (!stop_.load()) {
    const int n = ::epoll_wait(epoll_, ready, 256, 0);
    if (n <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (int r = 0; r < n; ++r) {
      // A few batches per socket and turn, so one busy socket cannot hold up
      // the others; what is left makes the socket ready again next turn.
      for (int round = 0; round < 16; ++round) {
        for (unsigned i = 0; i < batch; ++i) {
          iov[i] = {data[i], slot};
          msgs[i].msg_hdr = {nullptr, 0, &iov[i], 1, control[i], sizeof control[i], 0};
        }
        const int got = ::recvmmsg(ready[r].data.fd, msgs, batch, MSG_DONTWAIT, nullptr);
        if (got <= 0) break;
        for (int i = 0; i < got; ++i) {
          std::int64_t arrived = 0;
          for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[i].msg_hdr); c != nullptr;
               c = CMSG_NXTHDR(&msgs[i].msg_hdr, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
              timespec t;
              std::memcpy(&t, CMSG_DATA(c), sizeof t);
              arrived = ns_of(t);
            }
          take(data[i], msgs[i].msg_len, arrived);
        }
        relayed_.store(counts_.relayed, std::memory_order_relaxed);
        if (got < static_cast<int>(batch)) break;
      }
    }
  }
}

}  // namespace mirx::bench
