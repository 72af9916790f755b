#pragma once

// What the server's log file must hold after the soak, line for line, and
// the check of the file it wrote. The expected lines are not kept (a long
// run writes hundreds of megabytes): each kind of line is counted and the
// whole text, time stamps replaced, is hashed; the few lines that are not
// voice-relay lines are kept so that a difference can be shown.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "model/conference_model.h"

namespace mirx::soak {

enum class line_kind { log_start, voice, not_found, added, updated, deleted, log_end, malformed };
inline constexpr int line_kind_count = 8;
const char* name_of(line_kind k);

// A log's text as counted lines and a hash of the text with every time
// stamp replaced by "TS".
struct log_summary {
  std::array<std::uint64_t, line_kind_count> counts{};
  std::uint64_t hash = 14695981039346656037ull;
  std::vector<std::string> events;  // every line but the voice-relay ones
  std::string first_malformed;

  void add(line_kind kind, const std::string& normalised);
  std::uint64_t count(line_kind k) const { return counts[static_cast<int>(k)]; }
};

// The lines the server writes for each datagram, from the reference's
// account of what the datagram did.
class expected_log {
 public:
  expected_log();
  void note(const model::outcome& o);
  // The log as it must read once the server has been stopped.
  log_summary finished() const;

 private:
  log_summary lines_;
};

// Reads the server's log file: each line must be one of the server's own,
// time stamps well formed.
log_summary read_log(const std::string& path);

// Says how two summaries differ; empty when they are the same.
std::string compare(const log_summary& expected, const log_summary& actual);

}  // namespace mirx::soak
