#pragma once

// The one place where the receiver thread and the HTTP threads meet: the
// state behind a lock, and the numbered live events derived from it. Every
// event has a sequence number; the last ring_size events are kept so that
// a page that reconnects gets exactly what it missed, and a page that
// missed more (or whose numbers come from an earlier run) gets the whole
// state instead.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "dashboard/metrics.h"
#include "dashboard/render.h"
#include "dashboard/state.h"

namespace mirx::dashboard {

inline constexpr std::size_t ring_size = 4096;

// The state as /api/v1/state serves it. Its "now" is the time it was built;
// the iso_time_length characters at `now_at` (npos: none) are where each
// answer puts its own time instead.
struct state_document {
  std::string text;
  std::size_t now_at = std::string::npos;
};

class hub {
 public:
  hub(state initial, view v, source_policy policy);

  // The receiver's side: one datagram, and the once-a-second heartbeat
  // that tells the pages about counted-only datagrams without an event for
  // each (so a flood of junk costs the pages nothing). receive() tells
  // whether the source was allowed to send.
  bool receive(std::uint32_t source, const std::uint8_t* data, std::size_t length, millis now);
  void tick(millis now);

  // Built once per change of the state (or of the time, where the state
  // shows it: the hour, how recent the junk is) and shared by every request
  // and every stream's "state" event until the next, so that repeated
  // requests for a large state cost neither time nor memory.
  std::shared_ptr<const state_document> state_text(millis now);
  std::string metrics(const serving_figures& serving);
  state copy();
  bool changed_since_saved();  // and marks it saved

  // An event stream's side. `opening` gives the first text of a stream that
  // last saw event `last_id` (empty: none) and sets `seq` to where it now
  // stands; `next` waits up to `wait_ms` for events after `seq` and returns
  // them (advancing `seq`), or a whole-state event when the stream fell
  // behind the ring, or an empty text on time-out or stop.
  std::string opening(const std::string& last_id, std::uint64_t& seq, millis now);
  std::string next(std::uint64_t& seq, int wait_ms, millis now);

  void stop();
  bool stopped();

 private:
  std::string snapshot_event(std::uint64_t& seq, millis now);  // lock held
  void publish(const nlohmann::json& event);                   // lock held
  std::string event_id(std::uint64_t seq) const;
  std::shared_ptr<const state_document> document(millis now);  // lock held
  millis document_expiry(millis now) const;                    // lock held

  std::mutex lock_;
  std::condition_variable wake_;
  state state_;
  const view view_;
  const source_policy policy_;
  const std::string run_;  // tells this run's sequence numbers from an earlier run's
  std::uint64_t seq_ = 0;
  std::deque<std::string> ring_;  // events seq_-ring_.size()+1 .. seq_, as SSE text
  std::uint64_t junk_published_ = 0;
  bool dirty_ = false;
  bool stopped_ = false;
  std::uint64_t changes_ = 0;  // of the state, whether or not they made an event
  std::shared_ptr<const state_document> document_;  // for document_changes_, until document_until_
  std::uint64_t document_changes_ = 0;
  millis document_until_ = 0;
};

}  // namespace mirx::dashboard
