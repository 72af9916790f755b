#pragma once

// The dashboard's state as others read it: the JSON of /api/v1/state and of
// the live events, and the Prometheus text of /metrics. No raw address
// leaves through here unless the view asks for full addresses.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "dashboard/state.h"

namespace mirx::dashboard {

enum class address_mode { none, network, full };

// How the state is shown; fixed for the run.
struct view {
  std::string title = "mirx conference";
  address_mode addresses = address_mode::none;
  bool state_kept = false;          // a --state file carries the state across restarts
  int on_air_seconds = 5;           // a header this recent marks its node "on air"
  int silence_warn_seconds = 3600;  // the page warns after this long without a record
};

inline constexpr int schema_version = 1;

// A call sign as JSON text: each byte becomes the code point of the same
// number (U+0000..U+00FF), so any byte string is valid text, nothing is
// lost, and ASCII call signs read as themselves.
std::string call_text(std::string_view value);

// A text for the page: itself when it is valid UTF-8, else read as a call
// sign is (each byte its own code point), so that it always is.
std::string valid_text(std::string_view text);

// The address as the view allows: "192.0.2.7", "192.0.2.x" or nothing.
std::optional<std::string> shown_address(std::uint32_t ip, address_mode mode);

// "2026-12-07T12:49:15.123Z", always iso_time_length characters.
std::string iso_time(millis t);
inline constexpr std::size_t iso_time_length = 24;

nlohmann::json node_json(const node_row& n, const view& v);
// "node", "dextra_client" or "dextra_link", as JSON and /metrics name it.
const char* connection_name(connection how);
nlohmann::json heard_json(const heard_entry& h, const state& s);
nlohmann::json heard_call_json(const heard_call& c, millis now);
nlohmann::json talking_json(const state& s);
nlohmann::json server_json(const state& s);  // null until a liveness record came
// Junk sources are shown as the view shows node addresses; `now` 0 reads
// the recent junk as of its own last datagram.
nlohmann::json feed_json(const state& s, const view& v = {}, millis now = 0);
nlohmann::json hourly_json(const state& s, millis now);

// The whole state, schema version 1 (see docs/dashboard.md).
nlohmann::json state_json(const state& s, const view& v, millis now);

// What one datagram changed, for the live page: enough to update the rows
// concerned without the rest of the state; after a server's start, the
// whole state (type "state"), as its rows are all gone.
nlohmann::json change_json(const state& s, const outcome& o, const view& v, millis now);

// Prometheus text exposition; `streams` is the number of open event streams.
std::string metrics_text(const state& s, const view& v, int streams);

}  // namespace mirx::dashboard
