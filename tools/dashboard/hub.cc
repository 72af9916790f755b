#include "dashboard/hub.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "dashboard/event_stream.h"
#include "platform/platform.h"

namespace mirx::dashboard {
namespace {

// A stream starts from a state at most this old, followed by the events
// since: streams opened together share one state text.
constexpr millis stream_document_reuse_ms = 1000;
constexpr millis build_cost_ratio = 10;

std::string random_run() {
  std::random_device entropy;
  char text[17];
  std::snprintf(text, sizeof text, "%08x%08x", entropy(), entropy());
  return text;
}

// Building a large state takes several times its text's size for a
// moment; that is given back to the system, or the process would stay as
// large as its peak.
void give_back(std::size_t built) {
  constexpr std::size_t worth_trimming = 1u << 20;
  if (built > worth_trimming) platform::return_free_memory();
}

// Every text is valid UTF-8 by construction; should one not be, a
// replacement character stands in rather than an exception.
std::string dumped(const nlohmann::json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

piece shared_piece(const std::shared_ptr<const state_document>& d, std::size_t from,
                   std::size_t to) {
  return {d, std::string_view(d->text).substr(from, to - from), false};
}

}  // namespace

piece own_piece(std::string text, bool counted) {
  auto owner = std::make_shared<const std::string>(std::move(text));
  return {owner, *owner, counted};
}

hub::hub(state initial, view v, source_policy policy)
    : state_(std::move(initial)),
      view_(std::move(v)),
      policy_(std::move(policy)),
      run_(random_run()) {}

std::string hub::event_id(std::uint64_t seq) const {
  return run_ + "-" + std::to_string(seq);
}

void hub::publish(const nlohmann::json& event) {
  ++seq_;
  auto text = std::make_shared<const std::string>(sse::event(event_id(seq_), dumped(event)));
  ring_held_ += text->size();
  ring_.push_back({text, published_bytes_});
  published_bytes_ += text->size();
  while (ring_held_ > ring_bytes && ring_.size() > 1) {
    ring_held_ -= ring_.front().text->size();
    ring_.pop_front();
  }
}

void hub::notify() {
  if (notify_) notify_();
}

bool hub::receive(std::uint32_t source, const std::uint8_t* data, std::size_t length, millis now) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    const outcome o = apply_datagram(state_, policy_, source, data, length, now);
    ++changes_;  // every datagram changes at least a counter
    if (o.what == change::rejected) return false;
    if (o.what == change::malformed) return true;
    dirty_ = true;
    if (o.what == change::confirmed) return true;  // no news for the pages
    publish(change_json(state_, o, view_, now));
  }
  notify();
  return true;
}

void hub::tick(millis now) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    const std::uint64_t junk = state_.count.rejected + state_.count.malformed;
    if (junk == junk_published_) return;
    junk_published_ = junk;
    dirty_ = true;
    publish({{"type", "feed"}, {"now", iso_time(now)}, {"feed", feed_json(state_, view_, now)}});
  }
  notify();
}

std::shared_ptr<const state_document> hub::state_text(millis now) {
  std::lock_guard<std::mutex> hold(lock_);
  return document(now);
}

// A state changing all the time is built again at most after ten times
// what building it took: a large one is then a little behind (never more
// than the changes of a moment), and no stream of requests can keep the
// HTTP thread building it.
std::shared_ptr<const state_document> hub::document(millis now) {
  const bool recent = now - document_built_ < document_cost_ms_ * build_cost_ratio;
  if (document_ && now < document_until_ && (document_changes_ == changes_ || recent))
    return document_;
  document_.reset();  // before building the next: never two in the making
  const auto started = std::chrono::steady_clock::now();
  auto d = std::make_shared<state_document>();
  d->text = dumped(state_json(state_, view_, now));
  document_cost_ms_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - started)
                          .count();
  document_built_ = now;
  // The top-level key: the same text inside a call sign would have its
  // quotes escaped, and no nested object has the key.
  const std::string key = "\"now\":\"";
  if (const std::size_t at = d->text.rfind(key); at != std::string::npos)
    d->now_at = at + key.size();
  give_back(d->text.size());
  document_ = std::move(d);
  document_changes_ = changes_;
  document_seq_ = seq_;
  document_until_ = document_expiry(now);
  return document_;
}

// The first moment after `now` at which the state's JSON changes with no
// record: a new hour (the hourly counts, the overs of today), or a note of
// recent junk growing too old to be shown.
millis hub::document_expiry(millis now) const {
  millis until = (now / hour_ms + 1) * hour_ms;
  for (const junk_note* n : {&state_.count.recent_rejected, &state_.count.recent_malformed})
    if (n->count != 0 && n->last + recent_ms >= now)
      until = std::min(until, n->last + recent_ms + 1);
  return until;
}

// The state's part of the metrics follows the document's rule: built once
// per change, and no sooner than ten times what building it took, shared by
// every answer meanwhile; the HTTP side's few lines are each answer's own.
std::vector<piece> hub::metrics(const serving_figures& serving, millis now) {
  std::shared_ptr<const std::string> text;
  {
    std::lock_guard<std::mutex> hold(lock_);
    const bool recent = now - metrics_built_ < metrics_cost_ms_ * build_cost_ratio;
    if (!metrics_ || (metrics_changes_ != changes_ && !recent)) {
      metrics_.reset();  // before building the next: never two in the making
      const auto started = std::chrono::steady_clock::now();
      metrics_ = std::make_shared<const std::string>(metrics_state_text(state_, view_));
      metrics_cost_ms_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - started)
                             .count();
      metrics_built_ = now;
      metrics_changes_ = changes_;
      give_back(metrics_->size());
    }
    text = metrics_;
  }
  return {{text, *text, false}, own_piece(metrics_serving_text(serving), false)};
}

state hub::copy() {
  std::lock_guard<std::mutex> hold(lock_);
  return state_;
}

bool hub::changed_since_saved() {
  std::lock_guard<std::mutex> hold(lock_);
  const bool was = dirty_;
  dirty_ = false;
  return was;
}

// Whether the events after `seq` are all in the ring.
bool hub::in_ring(std::uint64_t seq) const {
  return seq <= seq_ && seq_ - seq <= ring_.size();
}

bool hub::catchable(std::uint64_t seq) const {
  return in_ring(seq) && bytes_after(seq) <= replay_bytes;
}

std::uint64_t hub::bytes_after(std::uint64_t seq) const {
  if (seq == seq_) return 0;
  return published_bytes_ - ring_[ring_.size() - (seq_ - seq)].before;
}

void hub::append_after(std::uint64_t& seq, std::vector<piece>& out) const {
  for (std::size_t i = ring_.size() - (seq_ - seq); i < ring_.size(); ++i)
    out.push_back({ring_[i].text, *ring_[i].text, true});
  seq = seq_;
}

// The last document built, while its events since are few and it is fresh
// (or nothing happened since); else a new one.
// The document must be followed by every event after it: one whose events
// have left the ring (a burst of records since it was built) is built
// again whatever the cost, as a stream starting from it would skip them.
std::shared_ptr<const state_document> hub::stream_document(millis now) {
  const bool reusable =
      stream_document_ && catchable(stream_document_seq_) && now < stream_document_until_ &&
      (stream_document_seq_ == seq_ || now - stream_document_built_ < stream_document_reuse_ms);
  if (reusable) return stream_document_;
  stream_document_.reset();
  stream_document_ = document(now);
  if (!catchable(document_seq_)) {
    document_.reset();
    document_until_ = 0;
    stream_document_ = document(now);
  }
  stream_document_seq_ = document_seq_;
  stream_document_built_ = now;
  stream_document_until_ = document_until_;
  return stream_document_;
}

// The state as a "state" event (the type put first, this moment's time in
// place of the document's), then the events since the document was built.
void hub::append_state(std::uint64_t& seq, millis now, std::vector<piece>& out) {
  const std::shared_ptr<const state_document> d = stream_document(now);
  seq = stream_document_seq_;
  out.push_back(own_piece(sse::begin(event_id(seq)) + "{\"type\":\"state\","));
  const std::size_t size = d->text.size();
  if (d->now_at == std::string::npos) {
    out.push_back(shared_piece(d, 1, size));
  } else {
    out.push_back(shared_piece(d, 1, d->now_at));
    out.push_back(own_piece(iso_time(now)));
    out.push_back(shared_piece(d, d->now_at + iso_time_length, size));
  }
  out.push_back({nullptr, sse::end, true});
  append_after(seq, out);
}

void hub::opening(const std::string& last_id, millis now, std::uint64_t& seq,
                  std::vector<piece>& out) {
  out.push_back(own_piece(sse::retry_field()));
  std::lock_guard<std::mutex> hold(lock_);
  const std::string prefix = run_ + "-";
  if (last_id.rfind(prefix, 0) == 0 && last_id.size() > prefix.size() &&
      last_id.size() - prefix.size() <= 19 &&
      last_id.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
    const std::uint64_t seen = std::stoull(last_id.substr(prefix.size()));
    if (catchable(seen)) {
      seq = seen;
      return append_after(seq, out);
    }
  }
  append_state(seq, now, out);
}

void hub::since(std::uint64_t& seq, millis now, std::vector<piece>& out) {
  std::lock_guard<std::mutex> hold(lock_);
  if (seq == seq_) return;
  if (in_ring(seq)) return append_after(seq, out);
  append_state(seq, now, out);
}

}  // namespace mirx::dashboard
