#include "soak/log_check.h"

#include <cstring>
#include <fstream>

#include "nodelib/udp_endpoint.h"

namespace mirx::soak {
namespace {

constexpr std::size_t stamp_size = 24;

// The value of a stored call sign, as "%.8s" prints it.
std::string text(const callsign& c) {
  std::string t;
  for (std::size_t i = 0; i < c.size() && c[i] != 0; ++i) {
    const auto b = static_cast<unsigned char>(c[i]);
    t += b < 0x20 || b == 0x7f ? '?' : c[i];  // control characters are shown as '?'
  }
  return t;
}

// "Www Mmm dd hh:mm:ss yyyy" with English names.
bool is_stamp(const std::string& s) {
  static const std::string days = "SunMonTueWedThuFriSat";
  static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (s.size() < stamp_size) return false;
  const std::string pattern = "AAA AAA 00 00:00:00 0000";
  for (std::size_t i = 0; i < stamp_size; ++i) {
    const char p = pattern[i], c = s[i];
    if (p == '0' && (c < '0' || c > '9')) return false;
    if ((p == ' ' || p == ':') && c != p) return false;
  }
  const std::size_t day = days.find(s.substr(0, 3)), month = months.find(s.substr(4, 3));
  return day != std::string::npos && day % 3 == 0 && month != std::string::npos && month % 3 == 0;
}

bool starts(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// The kind of one line read from the file, and the line with its time stamp
// replaced by "TS".
line_kind classify(const std::string& line, std::string& normalised) {
  normalised = line;
  for (const char* p : {"log start ", "log end "}) {
    if (!starts(line, p)) continue;
    const std::string rest = line.substr(std::strlen(p));
    if (rest.size() != stamp_size || !is_stamp(rest)) return line_kind::malformed;
    normalised = std::string(p) + "TS";
    return p[4] == 's' ? line_kind::log_start : line_kind::log_end;
  }
  if (starts(line, "Send DV Packet to ")) return line_kind::voice;
  if (starts(line, "Not found entry table: ")) return line_kind::not_found;
  if (!is_stamp(line) || line.size() == stamp_size || line[stamp_size] != ' ')
    return line_kind::malformed;
  normalised = "TS" + line.substr(stamp_size);
  const std::string rest = line.substr(stamp_size + 1);
  if (starts(rest, "Node IP address added ")) return line_kind::added;
  if (starts(rest, "Node IP address updated ")) return line_kind::updated;
  if (starts(rest, "Deleted from table: ")) return line_kind::deleted;
  return line_kind::malformed;
}

}  // namespace

const char* name_of(line_kind k) {
  static constexpr const char* names[] = {"log start", "voice relay", "not found", "added",
                                          "updated",   "deleted",     "log end",   "malformed"};
  return names[static_cast<int>(k)];
}

void log_summary::add(line_kind kind, const std::string& normalised) {
  ++counts[static_cast<int>(kind)];
  for (unsigned char c : normalised + '\n') {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  if (kind != line_kind::voice) events.push_back(normalised);
}

expected_log::expected_log() {
  lines_.add(line_kind::log_start, "log start TS");
}

void expected_log::note(const model::outcome& o) {
  using model::change;
  const model::entry& a = o.after;
  const model::entry& b = o.before;
  if (o.table == change::added) {
    lines_.add(line_kind::not_found,
               "Not found entry table: " + text(a.call2) + " " + text(a.call1));
    lines_.add(line_kind::added, "TS Node IP address added " + text(a.call1) + " " + text(a.call2) +
                                     " " + nodes::dotted(a.ip));
  } else if (o.table == change::moved) {
    lines_.add(line_kind::updated, "TS Node IP address updated " + text(a.call1) + " " +
                                       text(b.call2) + " from " + nodes::dotted(b.ip) + " to " +
                                       nodes::dotted(a.ip));
  } else if (o.table == change::removed) {
    lines_.add(line_kind::deleted, "TS Deleted from table: " + text(b.call2) + " " + text(b.call1));
  }
  if (o.what == model::kind::voice)
    for (const model::entry& e : o.relay_to)
      lines_.add(line_kind::voice, "Send DV Packet to " + text(e.call1));
}

log_summary expected_log::finished() const {
  log_summary done = lines_;
  done.add(line_kind::log_end, "log end TS");
  return done;
}

log_summary read_log(const std::string& path) {
  log_summary s;
  std::ifstream in(path, std::ios::binary);
  std::string line, normalised;
  while (std::getline(in, line)) {
    const line_kind k = classify(line, normalised);
    if (k == line_kind::malformed && s.first_malformed.empty()) s.first_malformed = line;
    s.add(k, normalised);
  }
  return s;
}

std::string compare(const log_summary& expected, const log_summary& actual) {
  std::string why;
  for (int k = 0; k < line_kind_count; ++k)
    if (expected.counts[k] != actual.counts[k])
      why += std::string(name_of(static_cast<line_kind>(k))) + " lines: expected " +
             std::to_string(expected.counts[k]) + ", found " + std::to_string(actual.counts[k]) +
             "\n";
  if (!actual.first_malformed.empty())
    why += "first malformed line: " + actual.first_malformed + "\n";
  for (std::size_t i = 0; i < expected.events.size() && i < actual.events.size(); ++i) {
    if (expected.events[i] == actual.events[i]) continue;
    why += "event line " + std::to_string(i) + ": expected \"" + expected.events[i] +
           "\", found \"" + actual.events[i] + "\"\n";
    break;
  }
  if (why.empty() && expected.hash != actual.hash) why = "voice-relay lines differ in content\n";
  return why;
}

}  // namespace mirx::soak
