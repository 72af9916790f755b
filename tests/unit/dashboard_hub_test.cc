// The state document the hub shares between requests: rebuilt exactly when
// what it shows changes, by a record or by the passing of time alone; and
// the metrics that alerts are written against.

#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "dashboard/connection_registry.h"
#include "dashboard/hub.h"
#include "dashboard/send_budget.h"
#include "platform/ipv4.h"
#include "unit/record_bytes.h"

namespace mirx::dashboard {
namespace {

const millis t0 = 1796646198000;  // 2026-12-07T12:23:18Z, 10 min and more from an hour
const std::uint32_t server = address_of(127, 0, 0, 1);
const test::bytes add = test::datagram({"ADD ", "N0CALL", "GW", "\x7f\0\0\x02"});

void feed(hub& h, const test::bytes& b, millis at) {
  h.receive(server, b.data(), b.size(), at);
}

TEST(DashboardHub, StateDocumentIsRebuiltExactlyWhenItWouldChange) {
  const test::bytes none, junk(3);
  struct row {
    const char* what;
    const test::bytes &before, &between;  // datagrams fed before each request
    millis later;                         // from the first request to the second
    bool rebuilt;
  };
  const row rows[] = {
      {"nothing, a second later", none, none, 1000, false},
      {"a record", none, add, 1000, true},
      {"a datagram that is no record", none, junk, 1000, true},
      {"nothing, into the next hour", none, none, hour_ms, true},
      // Junk fed at t0 shows until t0 + recent_ms; the first request is at t0 + 2.
      {"junk still recent", junk, none, recent_ms - 2, false},
      {"junk grown old", junk, none, recent_ms - 1, true},
  };
  for (const row& r : rows) {
    hub h({}, {}, {});
    if (!r.before.empty()) feed(h, r.before, t0);
    const auto first = h.state_text(t0 + 2);
    if (!r.between.empty()) feed(h, r.between, t0 + 3);
    const auto second = h.state_text(t0 + 2 + r.later);
    EXPECT_EQ(first != second, r.rebuilt) << r.what;
    // Where each answer puts its own time, the document holds its build's.
    const millis built = r.rebuilt ? t0 + 2 + r.later : t0 + 2;
    EXPECT_EQ(second->text.substr(second->now_at, 24), iso_time(built)) << r.what;
  }
}

// The figures an alert is written against: when each node last carried a
// header (in seconds, as every Prometheus time), and refused streams.
TEST(DashboardHub, MetricsForAlerts) {
  hub h({}, {}, {});
  feed(h, add, t0);
  feed(h, test::datagram({"ACC ", "N0CALL", "GW", "SPEAKER"}), t0 + 1500);
  const std::vector<piece> first = h.metrics({2, 3}, t0 + 1500);
  const std::string m = std::string(first[0].bytes) + std::string(first[1].bytes);
  // Shared until the state changes: no answer builds it again.
  EXPECT_EQ(h.metrics({}, t0 + 1501)[0].bytes.data(), first[0].bytes.data());
  feed(h, add, t0 + 1502);
  EXPECT_NE(h.metrics({}, t0 + 1502)[0].bytes, first[0].bytes);
  for (const char* line :
       {"node_last_header_timestamp_seconds{call1=\"N0CALL\",call2=\"GW\"} 1796646199.5",
        "event_streams 2", "event_streams_refused_total 3", "build_info{version=\""})
    EXPECT_NE(m.find(std::string("\nmirx_dashboard_") + line), std::string::npos) << line;
}

// Streams opened together share one state text and one text per event: their
// pieces point at the same bytes.
TEST(DashboardHub, StreamsShareStateAndEvents) {
  hub h({}, {}, {});
  feed(h, add, t0);
  std::vector<piece> a, b;
  std::uint64_t seq_a = 0, seq_b = 0;
  h.opening("", t0 + 1, seq_a, a);
  h.opening("", t0 + 2, seq_b, b);
  ASSERT_EQ(a.size(), b.size());
  std::size_t shared = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    shared += !a[i].counted && a[i].bytes.data() == b[i].bytes.data();
  EXPECT_EQ(shared, 2u);  // the state's text before and after its time
  // The state the streams hold counts in the budgets, once for their address
  // and once for the process, as the texts of answers do.
  std::size_t state_bytes = 0;
  for (const piece& p : a) state_bytes += p.counted ? 0 : p.bytes.size();
  send_budget budget(1u << 20, 1u << 20);
  send_budget::ticket ta, tb;
  budget.enter("x", 0, shared_texts({a.begin(), a.end()}), nullptr, ta);
  budget.enter("x", 0, shared_texts({b.begin(), b.end()}), nullptr, tb);
  EXPECT_GT(state_bytes, 100u);
  EXPECT_EQ(budget.held(), state_bytes);
  EXPECT_EQ(budget.held_by("x"), state_bytes);
  budget.leave(ta), budget.leave(tb);
  feed(h, add, t0 + 3);
  a.clear(), b.clear();
  h.since(seq_a, t0 + 3, a), h.since(seq_b, t0 + 3, b);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].bytes.data(), b[0].bytes.data());
}

// Entries one after another: whether each entered, and, one mark per entry so
// far, which were evicted (x). enter(row, h) enters h and sets how it leaves.
struct entry_row {
  const char* address;
  std::size_t bytes;  // for a send budget
  bool entered;
  const char* evicted;
};
struct holder : evictable {
  std::function<void()> leave;
  bool evicted = false;
  void evict() override { evicted = true, leave(); }
};
template <class Enter>
void enter_rows(std::span<const entry_row> rows, Enter enter) {
  std::vector<std::shared_ptr<holder>> hs;
  for (const entry_row& row : rows) {
    SCOPED_TRACE(row.address + std::to_string(hs.size() + 1));
    EXPECT_EQ(enter(row, hs.emplace_back(std::make_shared<holder>())), row.entered);
    std::string marks;
    for (const auto& k : hs) marks += k->evicted ? 'x' : '-';
    EXPECT_EQ(marks, row.evicted);
  }
}

// Per address, one more connection evicts the address's oldest; with every
// place taken, a newcomer evicts the oldest of the address holding the most
// (among those tied, the one whose oldest came first, however the addresses
// sort), and is refused when its own address holds as many as any.
TEST(ConnectionRegistry, EvictsTheAddresssOldestThenTheLargestAddresss) {
  const entry_row letters[] = {{"a", 0, true, "-"},        {"a", 0, true, "--"},
                               {"a", 0, true, "x--"},      {"b", 0, true, "x---"},
                               {"c", 0, true, "x----"},    {"d", 0, true, "xx----"},
                               {"a", 0, false, "xx-----"}, {"e", 0, true, "xxx-----"}};
  // Idle connections from addresses sorting before a fresh request's.
  const entry_row sorted[] = {{"10.0.0.1", 0, true, "-"},
                              {"10.0.0.2", 0, true, "--"},
                              {"10.0.0.3", 0, true, "---"},
                              {"99.0.0.1", 0, true, "----"},
                              {"10.0.1.0", 0, true, "x----"}};
  for (const std::span<const entry_row> rows :
       {std::span<const entry_row>(letters), std::span<const entry_row>(sorted)}) {
    connection_registry r(4, 2);
    enter_rows(rows, [&r](const entry_row& row, const std::shared_ptr<holder>& h) {
      auto t = std::make_shared<connection_registry::ticket>();
      h->leave = [&r, t, address = std::string(row.address)] { r.leave(address, *t); };
      return r.enter(row.address, h, *t);
    });
    EXPECT_EQ(r.size(), 4u);
  }
}

// Over its address's budget an entry drops the address's oldest; over the
// process's, the oldest of the address holding more than the newcomer would,
// else it is refused. A shared text counts once for each address holding it
// and once for the process.
TEST(SendBudget, DropsTheAddresssOldestThenTheLargestAddresss) {
  send_budget b(10, 20);
  const entry_row rows[] = {{"a", 4, true, "-"},      {"a", 4, true, "--"},
                            {"a", 4, true, "x--"},    {"b", 6, true, "x---"},
                            {"c", 6, true, "x----"},  {"d", 6, false, "xx----"},
                            {"c", 5, true, "xx--x--"}};
  enter_rows(rows, [&b](const entry_row& row, const std::shared_ptr<holder>& h) {
    auto t = std::make_shared<send_budget::ticket>();
    h->leave = [&b, t] { b.leave(*t); };
    return b.enter(row.address, row.bytes, {}, h, *t);
  });
  send_budget shared(100, 100);
  const piece text = own_piece(std::string(10, 'x'));
  send_budget::ticket x, y, z;
  shared.enter("x", 1, {text}, nullptr, x), shared.enter("y", 1, {text}, nullptr, y);
  shared.enter("x", 1, {text}, nullptr, z);
  EXPECT_EQ(shared.held(), 13u);
  EXPECT_EQ(shared.held_by("x"), 12u);
  shared.leave(x), shared.leave(y), shared.leave(z);
  EXPECT_EQ(shared.held(), 0u);
  EXPECT_EQ(shared.held_by("x"), 0u);
}

}  // namespace
}  // namespace mirx::dashboard
