#include "node/node_table.h"

#include <algorithm>
#include <new>

namespace mirx {

const node_entry* node_table::find(const callsign& call1) const {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const node_entry& e) { return e.call1 == call1; });
  return it == entries_.end() ? nullptr : &*it;
}

bool node_table::append(const node_entry& entry) {
  try {
    entries_.push_back(entry);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!count_address(entry.ip)) {
    entries_.pop_back();
    return false;
  }
  ++generation_;
  return true;
}

const node_entry* node_table::first_at(std::uint32_t ip) const {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const node_entry& e) { return e.ip == ip; });
  return it == entries_.end() ? nullptr : &*it;
}

bool node_table::move(const node_entry* entry, std::uint32_t ip, const callsign& call2) {
  node_entry& e = entries_[static_cast<std::size_t>(entry - entries_.data())];
  // Counted at the new address before leaving the old one: should the count
  // fail for want of memory, the entry and the index stay as they were.
  if (!count_address(ip)) return false;
  uncount_address(e.ip);
  e.ip = ip;
  e.call2 = call2;
  ++generation_;
  return true;
}

void node_table::remove(const node_entry* entry) {
  uncount_address(entry->ip);
  entries_.erase(entries_.begin() + (entry - entries_.data()));
  ++generation_;
}

bool node_table::count_address(std::uint32_t ip) {
  std::uint32_t count = 0;
  try {
    count = ++at_address_[ip];
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (count == 1 && watch_ != nullptr) watch_->address_added(ip);
  return true;
}

void node_table::uncount_address(std::uint32_t ip) {
  auto it = at_address_.find(ip);
  if (it == at_address_.end() || --it->second != 0) return;
  at_address_.erase(it);
  if (watch_ != nullptr) watch_->address_gone(ip);
}

}  // namespace mirx
