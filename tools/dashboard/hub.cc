#include "dashboard/hub.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <random>

#include "dashboard/event_stream.h"

namespace mirx::dashboard {
namespace {

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
  if (built > worth_trimming) malloc_trim(0);
}

}  // namespace

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
  ring_.push_back(sse::event(event_id(seq_), event.dump()));
  if (ring_.size() > ring_size) ring_.pop_front();
  wake_.notify_all();
}

bool hub::receive(std::uint32_t source, const std::uint8_t* data, std::size_t length, millis now) {
  std::lock_guard<std::mutex> hold(lock_);
  const outcome o = apply_datagram(state_, policy_, source, data, length, now);
  ++changes_;  // every datagram changes at least a counter
  if (o.what == change::rejected) return false;
  if (o.what == change::malformed) return true;
  dirty_ = true;
  if (o.what == change::confirmed) return true;  // no news for the pages
  publish(change_json(state_, o, view_, now));
  return true;
}

void hub::tick(millis now) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::uint64_t junk = state_.count.rejected + state_.count.malformed;
  if (junk == junk_published_) return;
  junk_published_ = junk;
  dirty_ = true;
  publish({{"type", "feed"}, {"now", iso_time(now)}, {"feed", feed_json(state_, view_, now)}});
}

std::shared_ptr<const state_document> hub::state_text(millis now) {
  std::lock_guard<std::mutex> hold(lock_);
  return document(now);
}

std::shared_ptr<const state_document> hub::document(millis now) {
  if (document_ && document_changes_ == changes_ && now < document_until_) return document_;
  auto d = std::make_shared<state_document>();
  d->text = state_json(state_, view_, now).dump();
  // The top-level key: the same text inside a call sign would have its
  // quotes escaped, and no nested object has the key.
  const std::string key = "\"now\":\"";
  if (const std::size_t at = d->text.rfind(key); at != std::string::npos)
    d->now_at = at + key.size();
  give_back(d->text.size());
  document_ = std::move(d);
  document_changes_ = changes_;
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

std::string hub::metrics(const serving_figures& serving) {
  std::lock_guard<std::mutex> hold(lock_);
  return metrics_text(state_, view_, serving);
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

// The shared document as a "state" event: the type put first, the time of
// this event in place of the document's.
std::string hub::snapshot_event(std::uint64_t& seq, millis now) {
  const std::shared_ptr<const state_document> d = document(now);
  seq = seq_;
  std::string text = sse::retry_field() + sse::begin(event_id(seq_)) + "{\"type\":\"state\",";
  if (d->now_at == std::string::npos) {
    text.append(d->text, 1);
  } else {
    text.append(d->text, 1, d->now_at - 1);
    text += iso_time(now);
    text.append(d->text, d->now_at + iso_time_length);
  }
  return text.append(sse::end);
}

std::string hub::opening(const std::string& last_id, std::uint64_t& seq, millis now) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::uint64_t oldest = seq_ - ring_.size();  // the last event before the ring
  const std::string prefix = run_ + "-";
  if (last_id.rfind(prefix, 0) == 0) {
    std::uint64_t seen = 0;
    try {
      seen = std::stoull(last_id.substr(prefix.size()));
    } catch (const std::exception&) {
      return snapshot_event(seq, now);
    }
    if (seen >= oldest && seen <= seq_) {
      seq = seen;
      return sse::retry_field();
    }
  }
  return snapshot_event(seq, now);
}

std::string hub::next(std::uint64_t& seq, int wait_ms, millis now) {
  std::unique_lock<std::mutex> hold(lock_);
  wake_.wait_for(hold, std::chrono::milliseconds(wait_ms), [&] { return stopped_ || seq_ != seq; });
  if (stopped_ || seq_ == seq) return "";
  if (seq_ - seq > ring_.size()) return snapshot_event(seq, now);
  std::string text;
  for (std::size_t i = ring_.size() - (seq_ - seq); i < ring_.size(); ++i) text += ring_[i];
  seq = seq_;
  return text;
}

void hub::stop() {
  std::lock_guard<std::mutex> hold(lock_);
  stopped_ = true;
  wake_.notify_all();
}

bool hub::stopped() {
  std::lock_guard<std::mutex> hold(lock_);
  return stopped_;
}

}  // namespace mirx::dashboard
