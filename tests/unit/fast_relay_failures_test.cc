// FastRelay's failed sends: the ring really sends, then chosen destinations
// are told a failure, and the relay must print the very failure lines, in the
// very order, with the same retries and pauses, as the relay without it
// prints for the same failures.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "node/relay.h"
#include "nodelib/udp_endpoint.h"
#include "server/socket_link.h"
#include "unit/harness.h"

namespace mirx::testing {
namespace {

constexpr int node_count = 6;  // N0 speaks, N1..N5 receive

std::uint32_t node_ip(int i) {
  return ip(127, 0, 9, 1 + i);
}

// The outcomes each destination's next attempts meet; none left: the real one.
using script = std::map<std::uint32_t, std::deque<int>>;

int next_outcome(script& s, std::uint32_t ip, int real) {
  auto at = s.find(ip);
  if (at == s.end() || at->second.empty()) return real;
  const int e = at->second.front();
  at->second.pop_front();
  return e;
}

// The server's link with FastRelay on. Fan-outs go through the ring, where
// the outcome hook applies the script; a send that found no buffer space is
// repeated through the out socket, so there the script is applied here, and
// the pause before it counted rather than slept.
class fast_link final : public node_link {
 public:
  socket_link real;
  script failures;
  std::vector<std::uint32_t> tries;  // the ring's sends and the others
  std::vector<int> waits;

  int send_to_node(const std::uint8_t* data, std::size_t length, std::uint32_t ip) override {
    tries.push_back(ip);
    const int e = next_outcome(failures, ip, 0);
    return e != 0 ? e : real.send_to_node(data, length, ip);
  }
  int relay_to_node(const std::uint8_t* data, std::size_t length, std::uint32_t ip) override {
    return real.relay_to_node(data, length, ip);
  }
  std::size_t send_to_nodes(const std::uint8_t* data, std::size_t length, const std::uint32_t* ips,
                            std::size_t count, int* error) override {
    return real.send_to_nodes(data, length, ips, count, error);
  }
  void send_to_log_server(const std::uint8_t*, std::size_t) override {}
  void wait_ms(int ms) override { waits.push_back(ms); }

  static int on_outcome(void* context, platform::socket_handle s, int error) {
    auto& self = *static_cast<fast_link*>(context);
    sockaddr_in to{};
    socklen_t size = sizeof to;
    if (::getpeername(static_cast<int>(s), reinterpret_cast<sockaddr*>(&to), &size) != 0) {
      ADD_FAILURE() << "an outcome of no connected socket";
      return error;
    }
    self.tries.push_back(to.sin_addr.s_addr);
    return next_outcome(self.failures, to.sin_addr.s_addr, error);
  }
};

struct fast_conference {
  captured console, log;
  output out;
  fast_link net;
  conference conf{out, net, {}, {}, {}};
  ~fast_conference() { platform::close_socket(net.real.out_socket); }
};

struct FastRelayFailures : ::testing::Test {
  std::vector<nodes::udp_endpoint> receivers;  // so that no send is refused for real

  void SetUp() override {
    std::uint16_t port = 0;
    for (int i = 0; i < node_count; ++i) {
      auto r = nodes::udp_endpoint::bind(nodes::dotted(node_ip(i)), port);
      ASSERT_TRUE(r);
      port = r->port();
      receivers.push_back(std::move(*r));
    }
  }

  // As the server starts FastRelay; false where io_uring is refused.
  bool start(fast_conference& f, bool shown) {
    f.out.console = f.console.file();
    f.out.log = f.log.file();
    f.out.info = shown;
    socket_link& link = f.net.real;
    link.out_socket = platform::open_udp_socket();
    platform::bind_any(link.out_socket, 0);
    link.out_port = receivers[0].port();
    if (link.fast.open(node_count, link.out_port) != 0) return false;
    link.fast.send_from(platform::bind_shared_port(link.out_socket));
    link.fast.set_outcome_hook(&fast_link::on_outcome, &f.net);
    f.conf.table.watch_addresses(&link.fast);
    return true;
  }
};

void fill(node_table& table) {
  for (int i = 0; i < node_count; ++i)
    ASSERT_TRUE(table.append(
        {callsign_of(("N" + std::to_string(i)).c_str()), callsign_of("GW"), node_ip(i)}));
}

std::array<std::uint8_t, 56> header() {
  std::array<std::uint8_t, 56> p{};
  std::memcpy(p.data() + 42, "SPEAKER ", 8);
  return p;
}

void relay(conference& c, bool voice) {
  if (voice)
    relay_voice(c, node_ip(0), std::array<std::uint8_t, 27>{}.data());
  else
    relay_header(c, node_ip(0), header().data());
}

// The destinations tried, as many times as each was, in address order.
std::vector<std::string> spread(std::vector<std::uint32_t> tries) {
  std::sort(tries.begin(), tries.end());
  std::vector<std::string> shown;
  for (const std::uint32_t at : tries) shown.push_back(nodes::dotted(at));
  return shown;
}

// Each row's failures, by node, for the header and a voice packet, with the
// deliveries shown one at a time on the console and not (in batches).
TEST_F(FastRelayFailures, SameLinesInTheSameOrderAsTheRelayWithout) {
  const struct {
    const char* name;
    std::map<int, std::deque<int>> failures;
  } rows[] = {
      {"a full buffer retried", {{2, {ENOBUFS, ENOBUFS}}}},
      {"another error reported once", {{3, {EPERM}}}},
      {"failures in the middle of the fan-out",
       {{1, {EHOSTUNREACH}}, {2, {ENOBUFS}}, {3, {EPERM}}, {5, {ENOBUFS, EHOSTUNREACH}}}},
      // Only a connected socket learns of a refusal: without FastRelay there
      // is none, and with it the datagram is sent again.
      {"a refusal sent again", {{2, {ECONNREFUSED}}, {4, {ECONNREFUSED, EPERM}}}},
  };
  for (const auto& r : rows) {
    for (const bool voice : {true, false}) {
      for (const bool shown : {false, true}) {
        SCOPED_TRACE(std::string(r.name) + (voice ? ", voice" : ", header") +
                     (shown ? ", shown" : ""));
        harness without(false, shown);
        fast_conference with;
        if (!start(with, shown)) GTEST_SKIP() << "io_uring refused here";
        fill(without.conf.table);
        fill(with.conf.table);
        std::vector<std::uint32_t> refused;
        for (const auto& [node, outcomes] : r.failures) {
          with.net.failures[node_ip(node)] = outcomes;
          for (const int e : outcomes) {
            if (e == ECONNREFUSED)
              refused.push_back(node_ip(node));
            else
              without.net.failures_at[node_ip(node)].push_back(e);
          }
        }
        relay(without.conf, voice);
        relay(with.conf, voice);
        ASSERT_NE(without.console_text().find("send error"), std::string::npos);
        EXPECT_EQ(unstamp(with.console.text()), without.console_text());
        EXPECT_EQ(unstamp(with.log.text()), without.log_text());
        EXPECT_EQ(with.net.waits, without.net.waits);
        // Every destination tried as often, a held outcome never sent again;
        // each refusal costs one more send.
        std::vector<std::uint32_t> tries = without.net.ips();
        tries.insert(tries.end(), refused.begin(), refused.end());
        EXPECT_EQ(spread(with.net.tries), spread(tries));
      }
    }
  }
}

}  // namespace
}  // namespace mirx::testing
