#include "platform/ipv4.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string_view>

namespace {

using mirx::address_of;

// Text that means exactly one address reads back as it and prints back as
// itself; anything else (short, long, padded, signed, leading zeros, out of
// range) is refused rather than read as some other address.
TEST(Ipv4Text, ReadsOnlyTheTextItPrints) {
  struct row {
    std::string_view text;
    std::optional<std::uint32_t> ip;
  };
  const row rows[] = {
      {"0.0.0.0", address_of(0, 0, 0, 0)},
      {"192.168.1.20", address_of(192, 168, 1, 20)},
      {"255.255.255.255", address_of(255, 255, 255, 255)},
      {"10.0.100.9", address_of(10, 0, 100, 9)},
      {"", std::nullopt},
      {"1.2.3", std::nullopt},
      {"1.2.3.4.5", std::nullopt},
      {"1..2.3", std::nullopt},
      {"01.2.3.4", std::nullopt},
      {"1.2.3.00", std::nullopt},
      {"256.1.1.1", std::nullopt},
      {"1000.1.1.1", std::nullopt},
      {"1.2.3.-4", std::nullopt},
      {" 1.2.3.4", std::nullopt},
      {"1.2.3.4 ", std::nullopt},
      {"1.2.3.4/8", std::nullopt},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(mirx::parse_ipv4(r.text), r.ip);
    if (r.ip) {
      EXPECT_EQ(std::string_view(mirx::dotted(*r.ip).text), r.text);
    }
  }
}

}  // namespace
