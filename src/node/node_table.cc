#include "node/node_table.h"

#include <algorithm>
#include <new>

namespace mirx {

node_entry* node_table::find(const callsign& call1) {
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
  return true;
}

const node_entry* node_table::first_at(std::uint32_t ip) const {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const node_entry& e) { return e.ip == ip; });
  return it == entries_.end() ? nullptr : &*it;
}

void node_table::remove(const node_entry* entry) {
  entries_.erase(entries_.begin() + (entry - entries_.data()));
}

}  // namespace mirx
