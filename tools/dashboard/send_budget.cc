#include "dashboard/send_budget.h"

namespace mirx::dashboard {

std::vector<piece> shared_texts(const std::deque<piece>& queue) {
  std::vector<piece> out;
  for (const piece& p : queue)
    if (!p.counted && p.owner) out.push_back(p);
  return out;
}

std::size_t send_budget::held_by(const std::string& address) const {
  const auto it = by_address_.find(address);
  return it == by_address_.end() ? 0 : it->second;
}

void send_budget::count(const std::string& address, std::size_t bytes, bool add) {
  std::size_t& mine = by_address_[address];
  by_bytes_.erase({mine, address});
  mine = add ? mine + bytes : mine - bytes;
  if (mine == 0)
    by_address_.erase(address);
  else
    by_bytes_.insert({mine, address});
}

// The entry leaves (through leave()) while its holder is evicted; one whose
// holder is already gone is taken out here, so that its bytes are freed
// either way.
bool send_budget::drop_oldest_of(const std::string& address) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->address != address) continue;
    if (const auto who = it->who.lock())
      who->evict();
    else
      leave(it);
    return true;
  }
  return false;
}

std::pair<std::size_t, std::size_t> send_budget::cost(
    const std::string& address, std::size_t own,
    const std::map<const void*, std::size_t>& texts) const {
  std::size_t mine = own, all = own;
  for (const auto& [text, size] : texts) {
    if (address_texts_.count({address, text}) == 0) mine += size;
    if (texts_.count(text) == 0) all += size;
  }
  return {mine, all};
}

bool send_budget::enter(const std::string& address, std::size_t own,
                        const std::vector<piece>& shared, const std::shared_ptr<evictable>& who,
                        ticket& t) {
  // Each text once, however many pieces of it this entry holds.
  std::map<const void*, std::size_t> texts;
  for (const piece& p : shared)
    if (p.owner) texts[p.owner.get()] += p.bytes.size();
  // Each drop frees an entry, so each loop ends.
  while (held_by(address) + cost(address, own, texts).first > per_address_ &&
         drop_oldest_of(address)) {
  }
  while (held_ + cost(address, own, texts).second > total_ && !by_bytes_.empty() &&
         by_bytes_.rbegin()->first > held_by(address) + cost(address, own, texts).first &&
         drop_oldest_of(by_bytes_.rbegin()->second)) {
  }
  // One entry alone is always let in where nothing else is held.
  if (held_ + cost(address, own, texts).second > total_ && held_ != 0) return false;
  entry e{address, own, {}, who};
  std::size_t mine = own;
  for (const auto& [text, size] : texts) {
    if (text_count& c = texts_[text]; c.entries++ == 0) held_ += c.size = size;
    if (text_count& c = address_texts_[{address, text}]; c.entries++ == 0) mine += c.size = size;
    e.texts.push_back(text);
  }
  held_ += own;
  count(address, mine, true);
  t = entries_.insert(entries_.end(), std::move(e));
  return true;
}

void send_budget::leave(ticket t) {
  std::size_t mine = t->own;
  for (const void* text : t->texts) {
    if (const auto it = texts_.find(text); --it->second.entries == 0) {
      held_ -= it->second.size;
      texts_.erase(it);
    }
    if (const auto it = address_texts_.find({t->address, text}); --it->second.entries == 0) {
      mine += it->second.size;
      address_texts_.erase(it);
    }
  }
  held_ -= t->own;
  count(t->address, mine, false);
  entries_.erase(t);
}

}  // namespace mirx::dashboard
