#pragma once

// The open connections of each client address that have not yet become an
// event stream, oldest first. A client address at its cap makes room by
// closing its own oldest connection, not by being refused: a client behind
// a shared address (a NAT, a reverse proxy) gets its request in even while
// others at the same address hold slow connections, and those lose their
// slot to the next newcomer in turn. When every place is taken, a newcomer
// from an address holding fewer than the address holding the most takes the
// oldest place of that one; among addresses tied for the most, the one whose
// oldest connection came first loses it, so that which address goes never
// depends on how its text sorts: a crowd spread over many addresses shuts
// out nobody, only ever costs itself, and cannot aim at a newer connection
// by the addresses it picks. Used on one thread only.

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

namespace mirx::dashboard {

class evictable {
 public:
  virtual ~evictable() = default;
  virtual void evict() = 0;  // answer 503 at once and close
};

class connection_registry {
 public:
  struct held {
    std::uint64_t seq;  // in order of entering, across every address
    std::weak_ptr<evictable> who;
  };
  using ticket = std::list<held>::iterator;

  connection_registry(std::size_t total, std::size_t per_address)
      : total_(total), per_address_(per_address) {}

  // False, and nothing taken, when the total cap is reached and no address
  // holds more than this one; else the connection is entered, after
  // evicting the address's oldest when the address is at its cap, or the
  // oldest of the address holding the most when every place is taken.
  bool enter(const std::string& address, const std::shared_ptr<evictable>& c, ticket& t);
  void leave(const std::string& address, ticket t);
  std::size_t size() const { return held_; }

 private:
  const std::size_t total_, per_address_;
  void evict_oldest(const std::string& address);
  std::size_t count(const std::string& address) const;

  // Where `address` stands among the others: most connections first, then
  // the oldest connection first. Its list must not be empty.
  struct standing {
    std::size_t count;
    std::uint64_t oldest;
    std::string address;
    bool operator<(const standing& o) const {
      if (count != o.count) return count > o.count;
      return oldest < o.oldest;  // seq numbers are unique: no two addresses tie
    }
  };
  standing standing_of(const std::string& address, const std::list<held>& mine) const {
    return {mine.size(), mine.front().seq, address};
  }

  std::map<std::string, std::list<held>> by_address_;
  std::set<standing> by_count_;  // begin(): the address to take a place from
  std::size_t held_ = 0;
  std::uint64_t next_seq_ = 0;
};

}  // namespace mirx::dashboard
