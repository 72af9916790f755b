#pragma once

// A reference of what the conference does with one received datagram,
// written as plainly as possible so that a fuzzer or a soak driver can hold
// the server to it: which table change a datagram makes, and to which
// addresses the server sends what. It keeps its own list of entries; the
// server's table must always equal it.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "node/callsign.h"

namespace mirx::model {

struct entry {
  callsign call1{};
  callsign call2{};
  std::uint32_t ip = 0;
  bool operator==(const entry&) const = default;
};

enum class kind { dropped, disconnect, voice, registration, header };
enum class change { none, added, moved, removed };

// What the server must do with one datagram.
struct outcome {
  kind what = kind::dropped;
  change table = change::none;
  entry before{};  // moved, removed: the entry as it was
  entry after{};   // added, moved: the entry as it is now
  // The entries the datagram is relayed to, in table order.
  std::vector<entry> relay_to;
  bool reply = false;           // a 16-byte registration reply to the sender
  bool ack = false;             // the 12-datagram acknowledgement to the sender
  std::size_t log_records = 0;  // ADD, DEL or ACC records
};

class conference_model {
 public:
  explicit conference_model(bool debug) : debug_(debug) {}
  const std::vector<entry>& entries() const { return entries_; }

  // `length` is the received length (negative: a failed receive); `data`
  // holds at least min(length, 56) bytes.
  outcome apply(const std::uint8_t* data, long length, std::uint32_t sender) {
    outcome o;
    if (length == 16) disconnect(sender, o);
    if (length == 27 || length == 56) relay(length, sender, o);
    if (length == 40 && accepted(data)) registration(data, sender, o);
    return o;
  }

 private:
  static bool accepted(const std::uint8_t* d) {
    return (d[0] == 'R' && d[1] == 'S') || (d[0] == 'S' && d[1] == 'I');
  }

  void disconnect(std::uint32_t sender, outcome& o) {
    o.what = kind::disconnect;
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->ip != sender) continue;
      o.table = change::removed;
      o.before = *it;
      o.log_records = 1;
      entries_.erase(it);
      return;
    }
  }

  void relay(long length, std::uint32_t sender, outcome& o) {
    o.what = length == 56 ? kind::header : kind::voice;
    for (const entry& e : entries_)
      if (e.ip != sender || debug_) o.relay_to.push_back(e);
    if (length == 56) {
      o.ack = true;
      o.log_records = 1;
    }
  }

  void registration(const std::uint8_t* d, std::uint32_t sender, outcome& o) {
    o.what = kind::registration;
    o.reply = true;
    const callsign call1 = callsign_of(d + 8);
    const callsign call2 = callsign_of(d + 16);
    for (entry& e : entries_) {
      if (e.call1 != call1) continue;
      if (e.ip == sender) return;
      o.table = change::moved;
      o.before = e;
      e.ip = sender;
      e.call2 = call2;
      o.after = e;
      return;
    }
    o.table = change::added;
    o.after = {call1, call2, sender};
    o.log_records = 1;
    entries_.push_back(o.after);
  }

  bool debug_;
  std::vector<entry> entries_;
};

}  // namespace mirx::model
