// The floor the server is measured against: a relay that does nothing but
// receive a datagram and send it to every other known node. No output, no
// acknowledgement, no log server; registrations only teach it the nodes.
//
//   mirx_reference_relay IN_PORT OUT_PORT [--sendmmsg | --uring [--linked]] [--rcvbuf BYTES]
//                        [--max-seconds S]
//
// --uring keeps a UDP socket connected to each node, registered with an
// io_uring as a fixed file, and hands a fan-out to the kernel in one
// submission (reference-uring): the floor for the server's FastRelay=ON.
// --linked links the sends so that a failure stops the rest, as the server
// does to keep its send-failure rule.
//
// It ends by itself after --max-seconds (default 900) or when its parent
// dies, so a crashed driver never leaves it running.

#if MIRX_BENCH_URING
#include <liburing.h>
#endif
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

struct options {
  std::uint16_t in_port = 0;
  std::uint16_t out_port = 0;
  bool batch = false;   // one sendmmsg per fan-out instead of one sendto per node
  bool uring = false;   // connected sockets and one io_uring submission per fan-out
  bool linked = false;  // ... with the sends linked
  // MIRX_REFERENCE_RING_ENTRIES in the environment: another ring size.
  unsigned ring_entries =
      std::getenv("MIRX_REFERENCE_RING_ENTRIES") != nullptr
          ? static_cast<unsigned>(std::atoi(std::getenv("MIRX_REFERENCE_RING_ENTRIES")))
          : 1024;
  int rcvbuf = 4 << 20;  // as the server asks for its in_socket
  long max_seconds = 900;
};

bool read_options(int argc, char** argv, options& o) {
  if (argc < 3) return false;
  o.in_port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  o.out_port = static_cast<std::uint16_t>(std::atoi(argv[2]));
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--sendmmsg") {
      o.batch = true;
    } else if (a == "--uring") {
      o.uring = MIRX_BENCH_URING;
    } else if (a == "--linked") {
      o.linked = true;

    } else if (a == "--rcvbuf" && i + 1 < argc) {
      o.rcvbuf = std::atoi(argv[++i]);
    } else if (a == "--max-seconds" && i + 1 < argc) {
      o.max_seconds = std::atol(argv[++i]);
    } else {
      return false;
    }
  }
  return o.in_port != 0 && o.out_port != 0 &&
         (o.uring || std::find(argv + 3, argv + argc, std::string("--uring")) == argv + argc);
}

int udp_socket() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) std::exit(2);
  return fd;
}

sockaddr_in node_address(std::uint32_t ip, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = ip;
  return a;
}

// The most nodes the driver binds.
constexpr unsigned most_nodes = 1024;

struct relay {
  int in = -1, out = -1;
  options opt;
  std::vector<sockaddr_in> nodes;
  std::vector<mmsghdr> batch;  // sized with `nodes`, so a fan-out allocates nothing
  std::vector<iovec> iov;

  void learn(const std::uint8_t* data, std::uint32_t from) {
    std::uint8_t answer[16];
    std::memcpy(answer, data, sizeof answer);
    answer[0] = 'S';
    answer[1] = 'A';
    const sockaddr_in to = node_address(from, opt.out_port);
    ::sendto(out, answer, sizeof answer, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    for (const sockaddr_in& n : nodes)
      if (n.sin_addr.s_addr == from) return;
    nodes.push_back(to);
    batch.resize(nodes.size());
    iov.resize(nodes.size());
#if MIRX_BENCH_URING
    if (opt.uring) connect_node(to);
#endif
  }

#if MIRX_BENCH_URING
  io_uring ring{};

  // MIRX_REFERENCE_RING_FLAGS in the environment: setup flags to try
  // (IORING_SETUP_*, a number), for looking into what the ring costs.
  void open_ring() {
    const char* flags = std::getenv("MIRX_REFERENCE_RING_FLAGS");
    if (io_uring_queue_init(opt.ring_entries, &ring,
                            flags != nullptr ? static_cast<unsigned>(std::atoi(flags)) : 0) != 0 ||
        io_uring_register_files_sparse(&ring, most_nodes) != 0)
      std::exit(3);
  }

  // Node i's socket is fixed file i.
  void connect_node(const sockaddr_in& to) {
    const int fd = udp_socket();
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) std::exit(2);
    const unsigned slot = static_cast<unsigned>(nodes.size() - 1);
    if (slot >= most_nodes || io_uring_register_files_update(&ring, slot, &fd, 1) != 1)
      std::exit(3);
  }

  // Submits what is queued and reaps whatever has completed, without waiting.
  void submit(io_uring_sqe* last) {
    if (last == nullptr) return;
    last->flags &= static_cast<std::uint8_t>(~IOSQE_IO_LINK);  // a chain ends with its last send
    io_uring_submit(&ring);
    io_uring_cqe* cqe = nullptr;
    unsigned head = 0, seen = 0;
    io_uring_for_each_cqe(&ring, head, cqe) {
      ++seen;
    }
    io_uring_cq_advance(&ring, seen);
  }

  void fan_out_uring(const std::uint8_t* data, std::size_t length, std::uint32_t from) {
    io_uring_sqe* last = nullptr;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (nodes[i].sin_addr.s_addr == from) continue;
      io_uring_sqe* sqe = io_uring_get_sqe(&ring);
      if (sqe == nullptr) {
        submit(last);
        sqe = io_uring_get_sqe(&ring);
      }
      io_uring_prep_send(sqe, static_cast<int>(i), data, length, 0);
      sqe->flags = IOSQE_FIXED_FILE | (opt.linked ? IOSQE_IO_LINK : 0);
      last = sqe;
    }
    submit(last);
  }
#endif

  void fan_out(const std::uint8_t* data, std::size_t length, std::uint32_t from) {
#if MIRX_BENCH_URING
    if (opt.uring) return fan_out_uring(data, length, from);
#endif
    if (!opt.batch) {
      for (const sockaddr_in& n : nodes)
        if (n.sin_addr.s_addr != from)
          ::sendto(out, data, length, 0, reinterpret_cast<const sockaddr*>(&n), sizeof n);
      return;
    }
    unsigned count = 0;
    for (sockaddr_in& n : nodes) {
      if (n.sin_addr.s_addr == from) continue;
      iov[count] = {const_cast<std::uint8_t*>(data), length};
      batch[count].msg_hdr = {&n, sizeof n, &iov[count], 1, nullptr, 0, 0};
      ++count;
    }
    for (unsigned sent = 0; sent < count;) {
      const int n = ::sendmmsg(out, batch.data() + sent, count - sent, 0);
      sent += n > 0 ? static_cast<unsigned>(n) : 1;  // a failed message is dropped
    }
  }

  void turn() {
    pollfd p{in, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) return;
    std::uint8_t buffer[56];
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t n = ::recvfrom(in, buffer, sizeof buffer, MSG_TRUNC | MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n == 27 || n == 56) fan_out(buffer, static_cast<std::size_t>(n), from.sin_addr.s_addr);
    if (n == 40) learn(buffer, from.sin_addr.s_addr);
  }
};

}  // namespace

int main(int argc, char** argv) {
  relay r;
  if (!read_options(argc, argv, r.opt)) {
    std::fputs(
        "usage: mirx_reference_relay IN_PORT OUT_PORT [--sendmmsg | --uring [--linked]]"
        " [--rcvbuf BYTES] [--max-seconds S]\n",
        stderr);
    return 1;
  }
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() == 1) return 0;
#if MIRX_BENCH_URING
  if (r.opt.uring) r.open_ring();
#endif
  r.in = udp_socket();
  r.out = udp_socket();
  ::setsockopt(r.in, SOL_SOCKET, SO_RCVBUF, &r.opt.rcvbuf, sizeof r.opt.rcvbuf);
  const sockaddr_in at = node_address(htonl(INADDR_ANY), r.opt.in_port);
  if (::bind(r.in, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) return 2;
  // The clock is read once every 1024 turns only: the loop is meant to cost
  // nothing but its socket calls.
  const std::time_t end = std::time(nullptr) + r.opt.max_seconds;
  for (unsigned long turns = 1;; ++turns) {
    if (turns % 1024 == 0 && std::time(nullptr) >= end) return 0;
    r.turn();
  }
}
