// Drives any bytes through the dashboard's state to its JSON and metrics: a
// title, then datagrams with the time between them. Besides the sanitizers'
// checks: every text the page or a client reads is valid UTF-8 (the JSON
// library's strict dump throws on anything else) and parses back, the
// event stream's texts included.
//
// Input: title length (1 byte, at most 63), the title, an address mode and a
// source byte; then records, each its length (1 byte, at most 40), the
// seconds since the last (1 byte, times ten when the top bit is set), and its
// bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "dashboard/hub.h"
#include "dashboard/metrics.h"
#include "dashboard/render.h"

namespace {

using namespace mirx::dashboard;

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

// Dumps strictly (throws on invalid UTF-8) and parses back.
void check(const nlohmann::json& j) {
  require(nlohmann::json::parse(j.dump()) == j, "a JSON text parses back to itself");
}

struct reader {
  const std::uint8_t* data;
  std::size_t size, at = 0;
  std::size_t left() const { return size - at; }
  std::uint8_t byte() { return at < size ? data[at++] : 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  reader in{data, size};
  view v;
  const std::size_t title = std::min<std::size_t>(in.byte() % 64, in.left());
  v.title = valid_text(std::string(reinterpret_cast<const char*>(data + in.at), title));
  in.at += title;
  v.addresses = static_cast<address_mode>(in.byte() % 3);
  const std::uint32_t source = 0x0100007fu + (static_cast<std::uint32_t>(in.byte()) << 24);
  state s;
  hub h({}, v, {});
  millis now = 1796646198000;  // 2026-12-07
  std::uint64_t seq = 0;
  std::vector<piece> opened;
  h.opening("", now, seq, opened);
  while (in.left() >= 2) {
    const std::uint8_t wanted = in.byte();
    const std::uint8_t step = in.byte();
    // Bounded by what is left once both bytes are taken: a record never
    // reaches past the input.
    const std::size_t length = std::min<std::size_t>(wanted % 41, in.left());
    now += (step & 0x7f) * 1000 * (step & 0x80 ? 10 : 1);
    const std::uint8_t* record = data + in.at;
    in.at += length;
    const outcome o = apply_datagram(s, {}, source, record, length, now);
    if (o.what != change::rejected && o.what != change::malformed) check(change_json(s, o, v, now));
    h.receive(source, record, length, now);
  }
  check(state_json(s, v, now));
  // No control character but the line ends reaches a scraper, C1 included.
  const std::string m = metrics_text(s, v, 0);
  for (std::size_t i = 0; i < m.size(); ++i) {
    const auto b = static_cast<unsigned char>(m[i]);
    const auto next = i + 1 < m.size() ? static_cast<unsigned char>(m[i + 1]) : 0u;
    require((b >= 0x20 || b == '\n') && b != 0x7f && !(b == 0xc2 && next < 0xa0), "metrics");
  }
  // The hub's event texts are the same JSON framed as events.
  std::vector<piece> events;
  h.since(seq, now, events);
  for (const piece& p : events) {
    const std::string_view text = p.bytes;
    const std::size_t at = text.find("data: ");
    if (at == std::string_view::npos) continue;
    check(nlohmann::json::parse(text.substr(at + 6, text.find('\n', at) - at - 6)));
  }
  return 0;
}
