#pragma once

// What the process holds for its clients' answers and streams, against one
// budget per client address and one for the process. An answer counts its
// own bytes and its socket's send buffer; a text it shares with other
// answers (the state, the metrics) counts once for each address holding it
// and once for the process, however many answers point into it. A stream
// reserves its bound of unsent bytes and its send buffer at its start, and
// holds the shared texts it has yet to send (the state it starts from, or
// falls back to) as an answer does. Used on one thread only.
//
// An entry over its address's budget makes room by dropping that address's
// oldest entries; over the process's, by dropping the oldest entry of the
// address holding the most, as long as that address holds more than the
// newcomer's. Else the newcomer is refused: no client can take what every
// other needs, and a crowd over many addresses only ever costs itself.

#include <cstddef>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dashboard/connection_registry.h"
#include "dashboard/hub.h"

namespace mirx::dashboard {

// The texts a stream's queue shares with other streams and answers (the
// state it starts from): the pieces its bound of unsent bytes does not
// count, each of which keeps a text alive. Its place in the budgets holds
// these beside that bound.
std::vector<piece> shared_texts(const std::deque<piece>& queue);

inline constexpr std::size_t address_budget_bytes = 16u << 20;
inline constexpr std::size_t process_budget_bytes = 40u << 20;

class send_budget {
 public:
  struct entry;
  using ticket = std::list<entry>::iterator;

  send_budget(std::size_t per_address, std::size_t total)
      : per_address_(per_address), total_(total) {}

  // `own` bytes held for this entry alone, and the pieces of `shared` texts
  // it points into; `who` is dropped (evicted) to make room for others.
  bool enter(const std::string& address, std::size_t own, const std::vector<piece>& shared,
             const std::shared_ptr<evictable>& who, ticket& t);
  void leave(ticket t);
  std::size_t held() const { return held_; }
  std::size_t held_by(const std::string& address) const;

  struct entry {
    std::string address;
    std::size_t own;
    std::vector<const void*> texts;
    std::weak_ptr<evictable> who;
  };

 private:
  bool drop_oldest_of(const std::string& address);
  void count(const std::string& address, std::size_t bytes, bool add);
  // What holding `texts` (and `own`) would add for `address` and for the process.
  std::pair<std::size_t, std::size_t> cost(const std::string& address, std::size_t own,
                                           const std::map<const void*, std::size_t>& texts) const;

  const std::size_t per_address_, total_;
  std::list<entry> entries_;  // oldest first
  std::map<std::string, std::size_t> by_address_;
  std::set<std::pair<std::size_t, std::string>> by_bytes_;
  struct text_count {
    std::size_t size = 0, entries = 0;
  };
  std::map<const void*, text_count> texts_;
  std::map<std::pair<std::string, const void*>, text_count> address_texts_;
  std::size_t held_ = 0;
};

}  // namespace mirx::dashboard
