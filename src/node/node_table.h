#pragma once

// The registered nodes, in the order in which they were added. A node is
// known by its call sign (no two entries share call1) and reached at the
// address it last registered from; several entries may share an address.
// Entries live from registration until a disconnect from their address.

#include <cstdint>
#include <vector>

#include "node/callsign.h"

namespace mirx {

struct node_entry {
  callsign call1;
  callsign call2;
  std::uint32_t ip;  // network byte order
};

class node_table {
 public:
  const std::vector<node_entry>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }
  // The last entry added; the table must not be empty.
  const node_entry& tail() const { return entries_.back(); }

  // The entry whose call1 equals `call1`, or null.
  node_entry* find(const callsign& call1);
  // Appends a new entry behind the last one; false when memory ran out.
  bool append(const node_entry& entry);
  // The first entry at `ip` in table order, or null.
  const node_entry* first_at(std::uint32_t ip) const;
  // Removes an entry of this table (as found by first_at or find).
  void remove(const node_entry* entry);

 private:
  std::vector<node_entry> entries_;
};

}  // namespace mirx
