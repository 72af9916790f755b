#pragma once

// What the dashboard answers to one request, as bytes to send: the head
// and the body's pieces. Every answer closes its connection and carries the
// same security headers, one Cache-Control and one Accept-Ranges.

#include <string>
#include <string_view>
#include <vector>

#include "dashboard/hub.h"

namespace mirx::dashboard {

struct answer {
  std::string head;
  std::vector<piece> body;  // empty for HEAD
};

// The status line and headers; `extra` is more header lines, each ended by
// CRLF. Cache-Control is no-cache unless `extra` says otherwise.
std::string answer_head(int status, std::string_view type, std::size_t length,
                        std::string_view extra = {});

// A short plain-text answer.
answer text_answer(int status, std::string_view text, std::string_view extra = {},
                   bool head = false);

// A request in the terms the routes need.
struct request_line {
  std::string_view method, target;
};

// The answer to every request but an accepted event stream; `figures` for
// /metrics. Nothing for a GET of /events, which the caller serves.
bool plain_answer(const request_line& r, hub& h, const serving_figures& figures, answer& out);

// The value of `name` in the target's query ("/events?last=x"), decoded.
std::string query_value(std::string_view target, std::string_view name);

// The head of an accepted event stream.
std::string stream_head();

// A stream refused for too many viewers is told to come back this late.
inline constexpr std::string_view stream_retry_after_seconds = "10";

}  // namespace mirx::dashboard
