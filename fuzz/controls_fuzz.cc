// Feeds any bytes to the two file readers of the operator controls, the
// access list and the saved table. Besides the sanitizers' checks: a good
// access list answers for any call sign and address; a saved table that
// parses is written back to a text that parses to the very same entries.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "controls/access_rules.h"
#include "controls/state_file.h"

namespace {

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

bool same(const std::vector<mirx::node_entry>& a, const std::vector<mirx::node_entry>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].call1 != b[i].call1 || a[i].call2 != b[i].call2 || a[i].ip != b[i].ip) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const mirx::access_parse p = mirx::parse_access_rules(text);
  // A fault names its line, or line 0 for one of the whole file (no rule).
  require(p.rules.has_value() == p.fault.empty(), "a refused file says why");
  if (p.rules) {
    // Slices of the input as call signs, from addresses made of their place.
    for (std::size_t at = 0; at < text.size() && at < 512; at += 8) {
      const std::string_view call = text.substr(at, 8);
      (void)p.rules->admits(call, static_cast<std::uint32_t>(at * 2654435761u));
    }
  }
  std::string fault;
  const auto entries = mirx::parse_state(text, &fault);
  if (entries) {
    const auto again = mirx::parse_state(mirx::format_state(*entries), &fault);
    require(again && same(*entries, *again), "a saved table reads back the same");
  } else {
    require(!fault.empty(), "a refused table says why");
  }
  return 0;
}
