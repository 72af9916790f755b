// A node's socket: bound at the address it was given, it learns every
// sender's address and port and a datagram's real length, and a quiet wait
// ends as a time-out.

#include "nodelib/udp_endpoint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace mirx::nodes {
namespace {

TEST(UdpEndpoint, ArrivalsCarryTheSendersAddressPortAndRealLength) {
  const auto from = udp_endpoint::bind("127.0.0.2", 0);
  const auto to = udp_endpoint::bind("127.0.0.3", 0);
  ASSERT_TRUE(from && to);
  const struct {
    const char* what;
    std::size_t length;
    std::size_t capacity;
  } rows[] = {
      {"fits with room to spare", 56, 2048},
      {"fills the buffer exactly", 27, 27},
      {"longer than the buffer", 100, 10},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::uint8_t> sent(row.length);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i * 7 + 1);
    ASSERT_TRUE(from->send_to(sent.data(), sent.size(), to->ip(), to->port()));
    ASSERT_EQ(to->wait(2000), platform::wait_result::readable);
    std::vector<std::uint8_t> buffer(row.capacity);
    const auto got = to->receive_into(buffer.data(), buffer.size());
    ASSERT_TRUE(got);
    EXPECT_EQ(got->length, row.length);
    EXPECT_EQ(dotted(got->from_ip, got->from_port), dotted(from->ip(), from->port()));
    const std::size_t kept = std::min(row.length, row.capacity);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + kept),
              std::vector<std::uint8_t>(sent.begin(), sent.begin() + kept));
  }
  EXPECT_EQ(to->wait(20), platform::wait_result::timed_out);
}

}  // namespace
}  // namespace mirx::nodes
