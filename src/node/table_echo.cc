#include "node/table_echo.h"

#include <algorithm>

#include "monitor/log_record.h"

namespace mirx {

void table_echo::send_slice(const node_table& table, node_link& net) {
  const auto& entries = table.entries();
  const std::size_t count = std::min(echo_slice, entries.size());
  for (std::size_t i = 0; i < count; ++i) {
    if (next_ >= entries.size()) next_ = 0;
    const node_entry& e = entries[next_++];
    const record::bytes r = record::node_event(record::tag_nod, e.call1, e.call2, e.ip);
    net.send_to_log_server(r.data(), r.size());
  }
}

}  // namespace mirx
