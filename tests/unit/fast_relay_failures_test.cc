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

// The server's link with FastRelay on. Fan-outs go through the ring, where
// the outcome hook applies the script (script.failures_at); a send that found
// no buffer space is repeated through the out socket, so there the script is
// applied here, and the pause before it counted rather than slept. Every
// try, the ring's and the others, is in script.node_sends.
class fast_link final : public node_link {
 public:
  socket_link real;
  fake_link script;

  int send_to_node(const std::uint8_t* data, std::size_t length, std::uint32_t ip) override {
    const int e = script.send_to_node(data, length, ip);
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
  void wait_ms(int ms) override { script.wait_ms(ms); }

  static int on_outcome(void* context, platform::socket_handle s, int error) {
    sockaddr_in to{};
    socklen_t size = sizeof to;
    if (::getpeername(static_cast<int>(s), reinterpret_cast<sockaddr*>(&to), &size) != 0) {
      ADD_FAILURE() << "an outcome of no connected socket";
      return error;
    }
    const int e = static_cast<fast_link*>(context)->script.send_to_node({}, 0, to.sin_addr.s_addr);
    return e != 0 ? e : error;
  }
};

// As the server starts FastRelay; `started` false where io_uring is refused.
struct fast_conference {
  captured console, log;
  output out;
  fast_link net;
  conference conf{out, net, {}, {}, {}};
  bool started = false;

  fast_conference(std::uint16_t port, bool shown) {
    out.console = console.file();
    out.log = log.file();
    out.info = shown;
    socket_link& link = net.real;
    link.out_socket = platform::open_udp_socket();
    platform::bind_any(link.out_socket, 0);
    link.out_port = port;
    if (link.fast.open(node_count, port) != 0) return;
    link.fast.send_from(platform::bind_shared_port(link.out_socket));
    link.fast.set_outcome_hook(&fast_link::on_outcome, &net);
    conf.table.watch_addresses(&link.fast);
    started = true;
  }
  ~fast_conference() { platform::close_socket(net.real.out_socket); }
};

// N0 relays the header or a voice packet to N1..N5.
void relay(conference& c, bool voice) {
  for (int i = 0; i < node_count; ++i)
    ASSERT_TRUE(c.table.append(
        {callsign_of(("N" + std::to_string(i)).c_str()), callsign_of("GW"), node_ip(i)}));
  std::array<std::uint8_t, 56> header{};
  std::memcpy(header.data() + 42, "SPEAKER ", 8);
  if (voice)
    relay_voice(c, node_ip(0), std::array<std::uint8_t, 27>{}.data());
  else
    relay_header(c, node_ip(0), header.data());
}

// Each row's failures, by node, for the header and a voice packet, with the
// deliveries shown one at a time on the console and not (in batches).
TEST(FastRelayFailures, SameLinesInTheSameOrderAsTheRelayWithout) {
  std::vector<nodes::udp_endpoint> receivers;  // so that no send is refused for real
  for (int i = 0; i < node_count; ++i) {
    auto r = nodes::udp_endpoint::bind(nodes::dotted(node_ip(i)), i ? receivers[0].port() : 0);
    ASSERT_TRUE(r);
    receivers.push_back(std::move(*r));
  }
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
        fast_conference with(receivers[0].port(), shown);
        if (!with.started) GTEST_SKIP() << "io_uring refused here";
        std::vector<std::uint32_t> refused;
        for (const auto& [node, outcomes] : r.failures) {
          with.net.script.failures_at[node_ip(node)] = outcomes;
          for (const int e : outcomes)
            if (e == ECONNREFUSED)
              refused.push_back(node_ip(node));
            else
              without.net.failures_at[node_ip(node)].push_back(e);
        }
        relay(without.conf, voice);
        relay(with.conf, voice);
        ASSERT_NE(without.console_text().find("send error"), std::string::npos);
        EXPECT_EQ(unstamp(with.console.text()), without.console_text());
        EXPECT_EQ(unstamp(with.log.text()), without.log_text());
        EXPECT_EQ(with.net.script.waits, without.net.waits);
        // Every destination tried as often, a held outcome never sent again;
        // each refusal costs one more send.
        std::vector<std::uint32_t> tries = without.net.ips(), with_tries = with.net.script.ips();
        tries.insert(tries.end(), refused.begin(), refused.end());
        std::sort(tries.begin(), tries.end());
        std::sort(with_tries.begin(), with_tries.end());
        EXPECT_EQ(with_tries, tries);
      }
    }
  }
}

}  // namespace
}  // namespace mirx::testing
