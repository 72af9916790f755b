#include "dashboard/address_slots.h"

namespace mirx::dashboard {

bool address_slots::take(const std::string& address) {
  std::lock_guard<std::mutex> hold(lock_);
  if (held_ >= total_) return false;
  int& mine = by_address_[address];
  if (mine >= per_address_) return false;
  ++mine;
  ++held_;
  return true;
}

void address_slots::give(const std::string& address) {
  std::lock_guard<std::mutex> hold(lock_);
  const auto it = by_address_.find(address);
  if (it == by_address_.end()) return;
  if (--it->second == 0) by_address_.erase(it);
  --held_;
}

int address_slots::held() const {
  std::lock_guard<std::mutex> hold(lock_);
  return held_;
}

}  // namespace mirx::dashboard
