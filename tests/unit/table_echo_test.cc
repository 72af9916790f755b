// The node table re-announced a slice per heartbeat: every entry within
// ceil(entries / echo_slice) slices, each slice bounded, the walk going on
// where the last slice ended.

#include "node/table_echo.h"

#include <gtest/gtest.h>

#include <string>

#include "unit/harness.h"
#include "unit/record_bytes.h"

namespace mirx::testing {
namespace {

using namespace std::string_literals;

node_entry entry(int n) {
  const std::string name = "N" + std::to_string(n);
  return {callsign_of(name.c_str()), callsign_of("GW"),
          ip(127, 0, 1, static_cast<std::uint8_t>(n))};
}

// "first-last" call1 numbers of each slice, or "-" for an empty one.
std::string walk(int entries, int slices, int removed_after_first = -1) {
  node_table table;
  for (int n = 0; n < entries; ++n) table.append(entry(n));
  table_echo echo;
  fake_link net;
  std::string out;
  for (int i = 0; i < slices; ++i) {
    net.records.clear();
    echo.send_slice(table, net);
    // The number of a record's call1, after its "N".
    const auto number = [](const std::vector<std::uint8_t>& r) {
      return std::string(reinterpret_cast<const char*>(r.data()) + 9);
    };
    out += net.records.empty()
               ? "- "
               : number(net.records.front()) + "-" + number(net.records.back()) + " ";
    if (i == 0 && removed_after_first >= 0)
      table.remove(table.find(callsign_of(("N" + std::to_string(removed_after_first)).c_str())));
  }
  return out;
}

TEST(TableEcho, EveryEntryWithinBoundedSlices) {
  static_assert(echo_slice == 128);
  const struct {
    int entries, slices, removed;
    std::string want;
  } cases[] = {
      {0, 2, -1, "- - "},
      {3, 2, -1, "0-2 0-2 "},
      {300, 4, -1, "0-127 128-255 256-83 84-211 "},
      // An entry before the walk's place removed: one entry is passed over
      // this round and met in the next.
      {300, 3, 5, "0-127 129-256 257-85 "},
  };
  for (const auto& c : cases) EXPECT_EQ(walk(c.entries, c.slices, c.removed), c.want) << c.entries;
}

// A slice's records are laid out as ADD, under their own tag.
TEST(TableEcho, RecordsAreLaidOutAsAdd) {
  node_table table;
  table.append(entry(7));
  table_echo echo;
  fake_link net;
  echo.send_slice(table, net);
  ASSERT_EQ(net.records.size(), 1u);
  EXPECT_EQ(net.records[0], test::datagram({"NOD ", "N7", "GW", "\x7f\0\x01\x07"s}));
}

}  // namespace
}  // namespace mirx::testing
