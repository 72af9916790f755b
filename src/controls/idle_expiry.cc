#include "controls/idle_expiry.h"

#include "node/registration.h"

namespace mirx {

std::size_t idle_expiry::sweep(conference& c, std::int64_t now_ms) {
  if (!on()) return 0;
  // Addresses whose entries all went (a disconnect, a reload) are forgotten.
  std::erase_if(last_heard_, [&](const auto& a) { return !c.table.has_address(a.first); });
  std::size_t removed = 0;
  for (std::size_t i = 0; i < c.table.size();) {
    const node_entry& e = c.table.entries()[i];
    const auto [at, added] = last_heard_.try_emplace(e.ip, now_ms);
    if (added || now_ms - at->second < timeout_ms_) {
      ++i;
      continue;
    }
    remove_entry(c, &e);
    ++removed;
  }
  return removed;
}

}  // namespace mirx
