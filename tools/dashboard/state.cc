#include "dashboard/state.h"

#include <algorithm>
#include <cstring>

#include "monitor/log_record.h"
#include "node/callsign.h"

namespace mirx::dashboard {
namespace {

call_value value_at(const std::uint8_t* field) {
  std::size_t n = 0;
  while (n < call_size && field[n] != 0) ++n;
  return call_value(reinterpret_cast<const char*>(field), n);
}

bool tagged(const std::uint8_t* data, const char (&tag)[5]) {
  return std::memcmp(data + record::tag, tag, 4) == 0;
}

outcome add_node(state& s, const std::uint8_t* data, millis now) {
  node_row row;
  row.call1 = value_at(data + record::call1);
  row.call2 = value_at(data + record::call2);
  std::memcpy(&row.ip, data + record::ip, 4);
  row.since = now;
  ++s.count.add;
  const bool known = s.nodes.count(row.call1) != 0;
  outcome o{known ? change::moved : change::added, row.call1};
  s.nodes[row.call1] = std::move(row);
  return o;
}

outcome remove_node(state& s, const std::uint8_t* data) {
  ++s.count.del;
  const call_value call1 = value_at(data + record::call1);
  const bool known = s.nodes.erase(call1) != 0;
  return {known ? change::removed : change::unknown_removed, call1};
}

outcome hear(state& s, const std::uint8_t* data, millis now) {
  ++s.count.acc;
  heard_entry h{now, value_at(data + record::my_call), value_at(data + record::call1),
                value_at(data + record::call2)};
  if (auto row = s.nodes.find(h.call1); row != s.nodes.end()) {
    row->second.last_header = now;
    row->second.last_speaker = h.my_call;
  }
  ++s.hours[now / hour_ms];
  prune_hours(s, now);
  outcome o{change::heard, h.call1};
  s.heard.push_front(std::move(h));
  if (s.heard.size() > heard_limit) s.heard.pop_back();
  return o;
}

}  // namespace

outcome apply_datagram(state& s, const source_policy& policy, std::uint32_t source,
                       const std::uint8_t* data, std::size_t length, millis now) {
  if (!policy.from.empty() &&
      std::find(policy.from.begin(), policy.from.end(), source) == policy.from.end()) {
    ++s.count.rejected;
    return {change::rejected, {}};
  }
  const bool sized = length == record::size;
  if (sized && tagged(data, record::tag_add)) return s.last_record = now, add_node(s, data, now);
  if (sized && tagged(data, record::tag_del)) return s.last_record = now, remove_node(s, data);
  if (sized && tagged(data, record::tag_acc)) return s.last_record = now, hear(s, data, now);
  ++s.count.malformed;
  return {change::malformed, {}};
}

void prune_hours(state& s, millis now) {
  const std::int64_t oldest = now / hour_ms - (hours_kept - 1);
  s.hours.erase(s.hours.begin(), s.hours.lower_bound(oldest));
}

}  // namespace mirx::dashboard
