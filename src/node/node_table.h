#pragma once

// The registered nodes, in the order in which they were added. A node is
// known by its call sign (no two entries share call1) and reached at the
// address it last registered from; several entries may share an address.
// Entries live from registration until a disconnect from their address.

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "node/callsign.h"

namespace mirx {

struct node_entry {
  callsign call1;
  callsign call2;
  std::uint32_t ip;  // network byte order
};

// Told when the first entry appears at an address (registration, move,
// restore) and when the last one there goes: for whoever keeps something per
// address. It must not change the table, nor throw.
class address_watch {
 public:
  virtual void address_added(std::uint32_t ip) = 0;
  virtual void address_gone(std::uint32_t ip) = 0;

 protected:
  ~address_watch() = default;
};

class node_table {
 public:
  const std::vector<node_entry>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }

  // The entry whose call1 equals `call1`, or null.
  const node_entry* find(const callsign& call1) const;
  // Appends a new entry behind the last one; false when memory ran out.
  bool append(const node_entry& entry);
  // The first entry at `ip` in table order, or null.
  const node_entry* first_at(std::uint32_t ip) const;
  // Whether any entry is at `ip`: one lookup, whatever the table's size.
  bool has_address(std::uint32_t ip) const { return at_address_.count(ip) != 0; }
  // Moves an entry of this table to `ip` with a new call2; its place stays.
  // False, and nothing changed, when memory ran out.
  bool move(const node_entry* entry, std::uint32_t ip, const callsign& call2);
  // Removes an entry of this table (as found by first_at or find).
  void remove(const node_entry* entry);
  // Counts every change of the table, so that a copy kept elsewhere can tell
  // whether it is still current.
  std::uint64_t generation() const { return generation_; }
  // Tells `w` of every address from now on (null: nobody); the addresses
  // held already are not told.
  void watch_addresses(address_watch* w) { watch_ = w; }

 private:
  bool count_address(std::uint32_t ip);
  void uncount_address(std::uint32_t ip);

  std::vector<node_entry> entries_;
  // How many entries are at each address; an address with none is absent.
  std::unordered_map<std::uint32_t, std::uint32_t> at_address_;
  std::uint64_t generation_ = 0;
  address_watch* watch_ = nullptr;
};

}  // namespace mirx
