#pragma once

// The one place where the receiver thread and the HTTP thread meet: the
// state behind a lock, and the numbered live events derived from it. Every
// event's text is made once and shared by every stream that sends it. The
// newest events, ring_bytes of them at most, are kept so that a page that
// reconnects gets what it missed; a page that missed more (or whose numbers
// come from an earlier run) gets the whole state instead, followed by the
// events after it.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "dashboard/metrics.h"
#include "dashboard/render.h"
#include "dashboard/state.h"

namespace mirx::dashboard {

inline constexpr std::size_t ring_bytes = 256 * 1024;
// A stream further behind than this is sent the state instead of the
// events it missed, so that it never starts near its bound of unsent bytes.
inline constexpr std::size_t replay_bytes = 64 * 1024;

// The state as /api/v1/state serves it. Its "now" is the time it was built;
// the iso_time_length characters at `now_at` (npos: none) are where each
// answer puts its own time instead.
struct state_document {
  std::string text;
  std::size_t now_at = std::string::npos;
};

// Bytes to send, inside a text that never changes and lives as long as
// some piece still points into it: the same event or state text is shared,
// not copied, by every answer and stream that sends it.
struct piece {
  std::shared_ptr<const void> owner;
  std::string_view bytes;
  bool counted = true;  // counts toward a stream's bound of unsent bytes
};

// A piece that owns its own text.
piece own_piece(std::string text, bool counted = true);

class hub {
 public:
  hub(state initial, view v, source_policy policy);

  // The receiver's side: one datagram, and the once-a-second heartbeat
  // that tells the pages about counted-only datagrams without an event for
  // each (so a flood of junk costs the pages nothing). receive() tells
  // whether the source was allowed to send.
  bool receive(std::uint32_t source, const std::uint8_t* data, std::size_t length, millis now);
  void tick(millis now);

  // Called on the receiver's thread, without the lock, after new events;
  // set before the receiver starts.
  void on_events(std::function<void()> notify) { notify_ = std::move(notify); }

  // Built once per change of the state (or of the time, where the state
  // shows it: the hour, how recent the junk is) and shared by every request
  // until the next, so that repeated requests for a large state cost
  // neither time nor memory.
  std::shared_ptr<const state_document> state_text(millis now);
  std::vector<piece> metrics(const serving_figures& serving, millis now);
  state copy();
  bool changed_since_saved();  // and marks it saved

  // An event stream's side. `opening` appends the first pieces of a stream
  // that last saw event `last_id` (empty: none); `since` those that follow
  // event `seq`: the events, or the state and the events after it when the
  // stream is too far behind. Both set `seq` to where the stream now stands.
  void opening(const std::string& last_id, millis now, std::uint64_t& seq, std::vector<piece>& out);
  void since(std::uint64_t& seq, millis now, std::vector<piece>& out);

 private:
  struct ring_entry {
    std::shared_ptr<const std::string> text;
    std::uint64_t before;  // bytes of all events published before this one
  };

  void publish(const nlohmann::json& event);  // lock held
  void notify();                              // lock not held
  std::string event_id(std::uint64_t seq) const;
  std::shared_ptr<const state_document> document(millis now);  // lock held
  millis document_expiry(millis now) const;                    // lock held
  // Lock held, for each of these.
  bool in_ring(std::uint64_t seq) const;
  std::uint64_t bytes_after(std::uint64_t seq) const;  // seq in the ring
  // The events after `seq` are all in the ring and few enough to replay.
  bool catchable(std::uint64_t seq) const;
  void append_after(std::uint64_t& seq, std::vector<piece>& out) const;
  void append_state(std::uint64_t& seq, millis now, std::vector<piece>& out);
  std::shared_ptr<const state_document> stream_document(millis now);

  std::mutex lock_;
  state state_;
  const view view_;
  const source_policy policy_;
  const std::string run_;  // tells this run's sequence numbers from an earlier run's
  std::function<void()> notify_;
  std::uint64_t seq_ = 0;
  std::deque<ring_entry> ring_;  // events seq_-ring_.size()+1 .. seq_, as SSE text
  std::uint64_t published_bytes_ = 0;
  std::size_t ring_held_ = 0;
  std::uint64_t junk_published_ = 0;
  bool dirty_ = false;
  std::uint64_t changes_ = 0;  // of the state, whether or not they made an event
  std::shared_ptr<const state_document> document_;  // for document_changes_, until document_until_
  std::uint64_t document_changes_ = 0, document_seq_ = 0;
  millis document_until_ = 0;
  millis document_built_ = 0, document_cost_ms_ = 0;
  std::shared_ptr<const std::string> metrics_;  // the state's part, for metrics_changes_
  std::uint64_t metrics_changes_ = 0;
  millis metrics_built_ = 0, metrics_cost_ms_ = 0;
  // The document streams start from: the last built while it is fresh
  // enough, so that streams opened together share one.
  std::shared_ptr<const state_document> stream_document_;
  std::uint64_t stream_document_seq_ = 0;
  millis stream_document_built_ = 0, stream_document_until_ = 0;
};

}  // namespace mirx::dashboard
