// FastRelay's sockets: one per node address for as long as an entry is
// there, and every destination served, with a socket of its own or without.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "nodelib/udp_endpoint.h"
#include "server/fast_relay.h"
#include "unit/harness.h"

namespace mirx::testing {
namespace {

std::size_t open_descriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

struct FastRelaySockets : ::testing::Test {
  fast_relay fast;
  node_table table;

  // Skips the test where io_uring is refused; the test returns then.
  void open(unsigned most, std::uint16_t port) {
    if (const int error = fast.open(most, port); error != 0)
      GTEST_SKIP() << "io_uring refused here: " << platform::error_text(error);
    table.watch_addresses(&fast);
  }
};

// Entries added (+), moved (>) and removed (-) one at a time; the sockets
// open and the descriptors held after each step.
TEST_F(FastRelaySockets, OneSocketPerAddressForAsLongAsAnEntryIsThere) {
  open(8, 40000);
  if (IsSkipped()) return;
  const std::size_t before = open_descriptors();
  const std::uint32_t a = ip(127, 0, 0, 2), b = ip(127, 0, 0, 3), c = ip(127, 0, 0, 4);
  const struct {
    char op;
    const char* call1;
    std::uint32_t at;
    std::size_t sockets;
  } steps[] = {{'+', "A1", a, 1}, {'+', "A2", a, 1}, {'+', "B", b, 2},  {'>', "A2", c, 3},
               {'-', "A1", a, 2}, {'>', "B", c, 1},  {'-', "A2", c, 1}, {'-', "B", c, 0}};
  for (const auto& s : steps) {
    SCOPED_TRACE(std::string(1, s.op) + s.call1);
    if (s.op == '+') table.append({callsign_of(s.call1), {}, s.at});
    if (s.op == '>') table.move(table.find(callsign_of(s.call1)), s.at, {});
    if (s.op == '-') table.remove(table.find(callsign_of(s.call1)));
    EXPECT_EQ(fast.sockets(), s.sockets);
    EXPECT_EQ(open_descriptors(), before + s.sockets);
  }
}

// More receivers than sockets: the last is sent to from the out socket. (A
// closed port's refusal, which only a connected socket learns of, is no
// failure: fast_relay_test.)
TEST_F(FastRelaySockets, EveryDestinationIsServedWithASocketOfItsOwnOrWithout) {
  std::vector<nodes::udp_endpoint> receivers;
  std::vector<std::uint32_t> ips;
  for (int i = 2; i <= 4; ++i) {
    auto r = nodes::udp_endpoint::bind("127.0.7." + std::to_string(i),
                                       ips.empty() ? 0 : receivers[0].port());
    ASSERT_TRUE(r);
    ips.push_back(r->ip());
    receivers.push_back(std::move(*r));
  }
  open(2, receivers[0].port());
  if (IsSkipped()) return;
  for (const std::uint32_t at : ips)
    table.append({callsign_of(std::to_string(at).c_str()), {}, at});
  EXPECT_EQ(fast.sockets(), 2u);
  const platform::socket_handle out = platform::open_udp_socket();
  const std::uint8_t datagram[27] = {1, 2, 3};
  int error = -1;
  EXPECT_EQ(fast.send_to_nodes(out, datagram, sizeof datagram, ips.data(), ips.size(), &error),
            ips.size());
  EXPECT_EQ(error, 0);
  for (const auto& r : receivers) EXPECT_EQ(r.drain(50).size(), 1u);
  platform::close_socket(out);
}

// The bound out socket's port, once shared, takes the server's connected
// sockets but not one that asks with SO_REUSEADDR, as any local process
// could: its datagrams would pass for the server's own.
TEST(FastRelaySharedPort, TakesTheServersSocketsAndNoOtherAsker) {
  const platform::socket_handle out = platform::open_udp_socket();
  ASSERT_EQ(platform::bind_any(out, 0), 0);
  const std::uint16_t port = platform::bind_shared_port(out);
  ASSERT_EQ(port, platform::local_port(out));
  int error = 0;
  const platform::socket_handle own =
      platform::open_connected_udp(ip(127, 0, 7, 9), 40009, port, &error);
  EXPECT_NE(own, platform::no_socket) << platform::error_text(error);
  const int other = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int on = 1;
  ASSERT_EQ(::setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  EXPECT_NE(::bind(other, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ::close(other);
  if (own != platform::no_socket) platform::close_socket(own);
  platform::close_socket(out);
}

}  // namespace
}  // namespace mirx::testing
