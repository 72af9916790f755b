#pragma once

// The live page's event-stream framing, written once: an event is a block
// of "field: value" lines ended by an empty line. The data is always one
// line (the JSON texts have every control character escaped), so one "data:"
// field carries it whole.

#include <string>
#include <string_view>

namespace mirx::dashboard::sse {

// How long a page waits before it reconnects a stream that broke.
inline constexpr int retry_ms = 2000;

// The field that tells the page retry_ms, sent once at a stream's start.
std::string retry_field();
// An event's fields up to its data: "event:" when `name` is not empty,
// "id:" when `id` is not empty, then "data: ". The data and end follow.
std::string begin(std::string_view id, std::string_view name = {});
// What closes an event.
inline constexpr std::string_view end = "\n\n";
// A whole event.
std::string event(std::string_view id, std::string_view data, std::string_view name = {});

}  // namespace mirx::dashboard::sse
