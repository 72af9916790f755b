#include "dashboard/connection_registry.h"

namespace mirx::dashboard {

std::size_t connection_registry::count(const std::string& address) const {
  const auto it = by_address_.find(address);
  return it == by_address_.end() ? 0 : it->second.size();
}

// The connection leaves (through leave()) while it is evicted; one already
// gone is taken out here, so that the place is freed either way.
void connection_registry::evict_oldest(const std::string& address) {
  auto& mine = by_address_.at(address);
  if (const auto oldest = mine.front().who.lock())
    oldest->evict();
  else
    leave(address, mine.begin());
}

bool connection_registry::enter(const std::string& address, const std::shared_ptr<evictable>& c,
                                ticket& t) {
  // Each eviction frees one place, so each loop ends.
  for (std::size_t n = count(address); n >= per_address_ && n > 0; n = count(address))
    evict_oldest(address);
  while (held_ >= total_ && !by_count_.empty() && by_count_.begin()->count > count(address))
    evict_oldest(by_count_.begin()->address);
  if (held_ >= total_) return false;
  auto& mine = by_address_[address];
  if (!mine.empty()) by_count_.erase(standing_of(address, mine));
  t = mine.insert(mine.end(), {next_seq_++, c});
  by_count_.insert(standing_of(address, mine));
  ++held_;
  return true;
}

void connection_registry::leave(const std::string& address, ticket t) {
  const auto it = by_address_.find(address);
  if (it == by_address_.end()) return;
  by_count_.erase(standing_of(address, it->second));
  it->second.erase(t);
  --held_;
  if (it->second.empty())
    by_address_.erase(it);
  else
    by_count_.insert(standing_of(address, it->second));
}

}  // namespace mirx::dashboard
