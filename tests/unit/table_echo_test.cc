// The node table re-announced a slice per heartbeat: every entry within
// ceil(entries / 128) bounded slices laid out as ADD, each going on where the last ended.

#include "node/table_echo.h"

#include <gtest/gtest.h>

#include <string>

#include "unit/harness.h"
#include "unit/record_bytes.h"

namespace mirx::testing {
namespace {

using namespace std::string_literals;

TEST(TableEcho, EveryEntryWithinBoundedSlices) {
  const struct {
    int entries, slices, removed;  // N`removed` leaves the table after the first slice
    std::string want;              // call1 numbers of each slice's first and last record
  } cases[] = {
      {0, 2, -1, "- - "},
      {3, 2, -1, "0-2 0-2 "},
      {300, 4, -1, "0-127 128-255 256-83 84-211 "},
      {300, 3, 5, "0-127 129-256 257-85 "},  // one passed over until the next round
  };
  const auto n = [](int i) { return callsign_of(("N" + std::to_string(i)).c_str()); };
  const auto number = [](const std::vector<std::uint8_t>& r) {
    return std::string(reinterpret_cast<const char*>(r.data()) + 9);  // after the "N"
  };
  for (const auto& c : cases) {
    node_table table;
    for (int i = 0; i < c.entries; ++i)
      table.append({n(i), callsign_of("GW"), ip(127, 0, 1, static_cast<std::uint8_t>(i))});
    table_echo echo;
    fake_link net;
    std::string got;
    for (int i = 0; i < c.slices; ++i, net.records.clear()) {
      echo.send_slice(table, net);
      got += net.records.empty() ? "- "
                                 : number(net.records[0]) + "-" + number(net.records.back()) + " ";
      if (i == 0 && c.removed >= 0) table.remove(table.find(n(c.removed)));
      if (c.entries == 3) {
        EXPECT_EQ(net.records[1], test::datagram({"NOD ", "N1", "GW", "\x7f\0\x01\x01"s}));
      }
    }
    EXPECT_EQ(got, c.want);
  }
}

}  // namespace
}  // namespace mirx::testing
