#include "dashboard/http_answers.h"

#include "dashboard/assets.h"

namespace mirx::dashboard {
namespace {

// No inline script or style, nothing from another origin, no framing.
constexpr std::string_view content_policy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::string_view reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 503:
      return "Service Unavailable";
    default:
      return "Error";
  }
}

std::string_view path_of(std::string_view target) {
  return target.substr(0, target.find('?'));
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string decoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int hi = i + 2 < text.size() ? hex_digit(text[i + 1]) : -1;
    const int lo = i + 2 < text.size() ? hex_digit(text[i + 2]) : -1;
    if (text[i] == '%' && hi >= 0 && lo >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += text[i] == '+' ? ' ' : text[i];
    }
  }
  return out;
}

// The state's text with this answer's time in place of the build's,
// pointing into the shared document rather than copying it.
std::vector<piece> state_body(const std::shared_ptr<const state_document>& d, millis now) {
  const std::string_view text = d->text;
  if (d->now_at == std::string::npos) return {{d, text, false}};
  return {{d, text.substr(0, d->now_at), false},
          own_piece(iso_time(now), false),
          {d, text.substr(d->now_at + iso_time_length), false}};
}

std::size_t size_of(const std::vector<piece>& body) {
  std::size_t n = 0;
  for (const piece& p : body) n += p.bytes.size();
  return n;
}

answer body_answer(std::string_view type, std::vector<piece> body, bool head) {
  answer a{answer_head(200, type, size_of(body)), {}};
  if (!head) a.body = std::move(body);
  return a;
}

}  // namespace

std::string answer_head(int status, std::string_view type, std::size_t length,
                        std::string_view extra) {
  std::string h = "HTTP/1.1 " + std::to_string(status) + " ";
  h.append(reason(status)).append("\r\nContent-Type: ").append(type);
  h.append("\r\nContent-Length: ").append(std::to_string(length));
  h.append("\r\nContent-Security-Policy: ").append(content_policy);
  h.append(
      "\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n"
      "X-Frame-Options: DENY\r\nAccept-Ranges: none\r\nConnection: close\r\n");
  if (extra.find("Cache-Control:") == std::string_view::npos) h += "Cache-Control: no-cache\r\n";
  return h.append(extra).append("\r\n");
}

answer text_answer(int status, std::string_view text, std::string_view extra, bool head) {
  answer a{answer_head(status, "text/plain; charset=utf-8", text.size(), extra), {}};
  if (!head) a.body.push_back(own_piece(std::string(text)));
  return a;
}

std::string stream_head() {
  std::string h = answer_head(200, "text/event-stream", 0, "Cache-Control: no-store\r\n");
  // A stream has no length: it ends when the connection does.
  const std::string_view length = "Content-Length: 0\r\n";
  return h.erase(h.find(length), length.size());
}

std::string query_value(std::string_view target, std::string_view name) {
  const std::size_t q = target.find('?');
  if (q == std::string_view::npos) return "";
  std::string_view query = target.substr(q + 1);
  while (!query.empty()) {
    const std::string_view pair = query.substr(0, query.find('&'));
    query.remove_prefix(std::min(query.size(), pair.size() + 1));
    if (pair.substr(0, pair.find('=')) == name && pair.size() > name.size())
      return decoded(pair.substr(name.size() + 1));
  }
  return "";
}

bool plain_answer(const request_line& r, hub& h, const serving_figures& figures, answer& out) {
  const bool head = r.method == "HEAD";
  if (!head && r.method != "GET") {
    out = text_answer(405, "only GET and HEAD\n", "Allow: GET, HEAD\r\n");
    return true;
  }
  const std::string_view path = path_of(r.target);
  for (const asset& a : assets)
    if (path == a.path) return out = body_answer(a.type, {{nullptr, a.body, false}}, head), true;
  if (path == "/api/v1/state") {
    const millis now = wall_now();
    out = body_answer("application/json", state_body(h.state_text(now), now), head);
  } else if (path == "/metrics") {
    out = body_answer("text/plain; version=0.0.4; charset=utf-8", h.metrics(figures, wall_now()),
                      head);
  } else if (path == "/events") {
    if (!head) return false;
    out = {stream_head(), {}};
  } else {
    out = text_answer(404, "not found\n", {}, head);
  }
  return true;
}

}  // namespace mirx::dashboard
