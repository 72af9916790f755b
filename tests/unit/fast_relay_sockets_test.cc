// FastRelay's sockets: one per node address for as long as an entry is
// there, and every destination served, with a socket of its own or without.

#include <gtest/gtest.h>

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

struct fast_fixture : ::testing::Test {
  fast_relay fast;
  node_table table;

  void open(unsigned most, std::uint16_t port) {
    if (const int error = fast.open(most, port); error != 0)
      GTEST_SKIP() << "io_uring refused here: " << platform::error_text(error);
    table.watch_addresses(&fast);
  }
};

const std::uint32_t at_a = ip(127, 0, 0, 2), at_b = ip(127, 0, 0, 3), at_c = ip(127, 0, 0, 4);

void move_to(node_table& t, const char* call1, std::uint32_t to) {
  t.move(t.find(callsign_of(call1)), to, {});
}

TEST_F(fast_fixture, OneSocketPerAddressForAsLongAsAnEntryIsThere) {
  open(8, 40000);
  const std::size_t before = open_descriptors();
  const struct {
    const char* step;
    void (*apply)(node_table& t);
    std::size_t sockets;
  } steps[] = {
      {"first entry at a",
       [](node_table& t) {
         t.append({callsign_of("A1"), {}, at_a});
       },
       1},
      {"second entry at a",
       [](node_table& t) {
         t.append({callsign_of("A2"), {}, at_a});
       },
       1},
      {"entry at b",
       [](node_table& t) {
         t.append({callsign_of("B"), {}, at_b});
       },
       2},
      {"second entry at a moves to c", [](node_table& t) { move_to(t, "A2", at_c); }, 3},
      {"last entry at a goes", [](node_table& t) { t.remove(t.first_at(at_a)); }, 2},
      {"b moves to c, b empties", [](node_table& t) { move_to(t, "B", at_c); }, 1},
      {"everything goes",
       [](node_table& t) {
         while (!t.empty()) t.remove(t.first_at(at_c));
       },
       0},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.step);
    s.apply(table);
    EXPECT_EQ(fast.sockets(), s.sockets);
    EXPECT_EQ(open_descriptors(), before + s.sockets);
  }
}

// Two sockets for three receivers: the third is sent to from the out
// socket. A closed port's refusal, which only a connected socket learns of,
// is no failure, so nothing else fails either.
TEST_F(fast_fixture, EveryDestinationIsServedInOrderAndARefusalIsNoFailure) {
  std::vector<nodes::udp_endpoint> receivers;
  std::uint16_t port = 0;
  for (int i = 2; i <= 4; ++i) {
    auto r = nodes::udp_endpoint::bind("127.0.7." + std::to_string(i), port);
    ASSERT_TRUE(r);
    port = r->port();
    receivers.push_back(std::move(*r));
  }
  open(3, port);
  const std::uint32_t closed = ip(127, 0, 7, 9);
  std::vector<std::uint32_t> ips{closed};
  for (const auto& r : receivers) ips.push_back(r.ip());
  for (const std::uint32_t at : ips)
    table.append({callsign_of(std::to_string(at).c_str()), {}, at});
  EXPECT_EQ(fast.sockets(), 3u);
  const platform::socket_handle out = platform::open_udp_socket();
  const std::uint8_t datagram[27] = {1, 2, 3};
  for (int round = 0; round < 3; ++round) {
    int error = -1;
    EXPECT_EQ(fast.send_to_nodes(out, datagram, sizeof datagram, ips.data(), ips.size(), &error),
              ips.size());
    EXPECT_EQ(error, 0) << "round " << round;
  }
  for (const auto& r : receivers) EXPECT_EQ(r.drain(50).size(), 3u);
  platform::close_socket(out);
}

}  // namespace
}  // namespace mirx::testing
