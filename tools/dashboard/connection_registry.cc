#include "dashboard/connection_registry.h"

namespace mirx::dashboard {

bool connection_registry::enter(const std::string& address, const std::shared_ptr<evictable>& c,
                                ticket& t) {
  const auto it = by_address_.find(address);
  // A connection leaves (through leave()) while it is evicted, so this ends.
  while (it != by_address_.end() && it->second.size() >= per_address_) {
    const auto oldest = it->second.front().lock();
    if (it->second.size() == 1) {  // the address's entry goes with it
      oldest->evict();
      break;
    }
    oldest->evict();
  }
  if (held_ >= total_) return false;
  auto& mine = by_address_[address];
  t = mine.insert(mine.end(), c);
  ++held_;
  return true;
}

void connection_registry::leave(const std::string& address, ticket t) {
  const auto it = by_address_.find(address);
  if (it == by_address_.end()) return;
  it->second.erase(t);
  --held_;
  if (it->second.empty()) by_address_.erase(it);
}

}  // namespace mirx::dashboard
