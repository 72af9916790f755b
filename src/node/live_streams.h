#pragma once

// The live streams: one entry per origin (a node's address, or a door's peer
// by address and port) that has sent a header or voice lately. The stream
// log, the conference rules and the echo test each annotate the entry of a
// stream instead of keeping their own table, so that they never disagree
// about which stream a packet belongs to or when it fell silent.
//
// An entry lives while some reader holds it. Silence ends it once: every
// reader is told, then the entry is freed. Every moment is a monotonic time
// in milliseconds from the caller.
//
// Memory is fixed when the table is started; a full table opens no entry,
// and each reader then does what it does at its own bound.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "monitor/log_record.h"
#include "node/callsign.h"
#include "node/doors.h"
#include "node/stream_text.h"

namespace mirx {

// A stream that has had no header or voice for this long has ended (its last
// packet was lost).
inline constexpr std::uint32_t stream_silence_ms = 2000;

// What the conference rules keep of a stream; `none` when they do not
// follow it.
enum class floor_state : std::uint8_t {
  none,
  talking,  // relayed, timed; with OneTalker it holds the conference
  refused,  // voice dropped until the stream ends
  cut,      // timed out: header and voice dropped until the sender is silent
  ended,    // over by its end mark; the timer still runs until silence
};

// What a door keeps of a stream: as it comes in from one of the door's
// peers, and as the door carries it out to its other peers in its own
// framing (a stream id of its own, the sequence counted with the sync).
struct door_stream {
  bool in = false;       // a peer's stream, followed
  bool in_live = false;  // its end flag not seen yet
  bool taken = false;    // relayed; false: it came round a loop, its voice is dropped
  std::uint8_t in_id[2] = {};
  bool out = false;        // carried out to the door's peers
  bool out_ended = false;  // its last frame, or a closing one, sent
  bool has_header = false;
  std::uint8_t out_id[2] = {};
  std::uint8_t sequence = 0;                     // of the next voice frame carried out
  std::array<std::uint8_t, hdr::size> header{};  // node-framed, for peers that link meanwhile

  bool held() const { return in || out; }
};

// What the echo test keeps of a stream; `none` when it does not follow it.
enum class echo_state : std::uint8_t {
  none,
  recording,  // in the recording slot `echo_slot`
  tail,       // its recording ended at the bound: voice dropped until silence
};

struct live_stream {
  stream_origin from{};
  std::int64_t start_ms = 0;  // its first header or voice
  std::int64_t last_ms = 0;   // its last header or voice
  callsign my_call{};         // of its last header

  // The stream log: whether the stream is logged, and what its END repeats.
  bool logged = false;
  std::int64_t log_start_ms = 0;  // its relayed header
  std::int64_t log_voice_ms = 0;  // its last relayed voice; log_start_ms until then
  std::array<std::uint8_t, record::size - record::call1> who{};  // call1, call2, my_call
  stream_text text;  // its slow-data message, for the TXT record

  // The conference rules.
  floor_state floor = floor_state::none;
  std::int64_t over_start_ms = 0;  // of the continuous transmission, for the timer

  // The echo test.
  echo_state echo = echo_state::none;
  std::uint8_t echo_slot = 0;

  door_stream door;

  bool held() const {
    return logged || floor != floor_state::none || echo != echo_state::none || door.held();
  }
};

// A reader told when an entry it may hold falls silent, just before the
// entry is freed. It must not open or release entries meanwhile.
class stream_reader {
 public:
  virtual void silent(live_stream& s) = 0;

 protected:
  ~stream_reader() = default;
};

class live_streams {
 public:
  // Room for every reader at its own bound at once: the stream log's 1024,
  // the conference rules' 64, the echo test's recordings and tails, and the
  // door's 1024.
  static constexpr std::size_t capacity = 1024 + 64 + 8 + 64 + 1024;

  // Takes the table's memory; entries stay where they are until freed, so a
  // reader may keep a pointer to one it holds.
  void start();
  bool on() const { return !entries_.empty(); }
  void add_reader(stream_reader& r) { readers_.push_back(&r); }

  live_stream* find(const stream_origin& from);
  // The entry of `from`, opened at `now_ms` when there is none; null when the
  // table is full.
  live_stream* open(const stream_origin& from, std::int64_t now_ms);
  // A reader let go of `s`: freed when no reader holds it any more.
  void release(live_stream& s);
  // Ends every entry silent at `heard_ms`, telling each reader.
  void end_silent(std::int64_t heard_ms);
  std::size_t size() const { return live_.size(); }
  // The entries in use, in no particular order.
  const std::vector<std::uint16_t>& in_use() const { return live_; }
  live_stream& at(std::uint16_t index) { return entries_[index]; }

 private:
  static constexpr std::uint16_t empty = 0xffff;
  std::size_t home_of(const stream_origin& from) const;
  void free(live_stream& s);

  std::vector<live_stream> entries_;  // `capacity`, fixed at start
  std::vector<std::uint16_t> spare_;  // entries not in use
  std::vector<std::uint16_t> live_;   // entries in use
  std::vector<std::uint16_t> place_;  // each entry's position in live_
  // Open addressing, linear probing, at most a quarter full: entry indices.
  std::vector<std::uint16_t> index_;
  std::vector<stream_reader*> readers_;
};

}  // namespace mirx
