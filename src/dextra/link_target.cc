#include "dextra/link_target.h"

#include <charconv>

#include "dextra/dsvt.h"

namespace mirx::dextra {
namespace {

// The next word of `rest`, spaces and tabs before it skipped.
std::string_view next_word(std::string_view& rest) {
  const std::size_t start = rest.find_first_not_of(" \t");
  if (start == std::string_view::npos) return rest = {}, std::string_view{};
  rest.remove_prefix(start);
  const std::size_t end = std::min(rest.find_first_of(" \t"), rest.size());
  const std::string_view word = rest.substr(0, end);
  rest.remove_prefix(end);
  return word;
}

}  // namespace

std::optional<link_target> parse_link_target(std::string_view line) {
  link_target t;
  const std::string_view call = next_word(line);
  const std::string_view module = next_word(line);
  std::string_view where = next_word(line);
  if (!next_word(line).empty() || where.empty()) return std::nullopt;
  if (!valid_call_text(call, call_size - 1)) return std::nullopt;
  if (module.size() != 1 || module[0] < 'A' || module[0] > 'Z') return std::nullopt;
  t.call = std::string(call);
  t.module = module[0];
  t.port = usual_port;
  if (const std::size_t colon = where.find(':'); colon != std::string_view::npos) {
    const std::string_view digits = where.substr(colon + 1);
    unsigned port = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (error != std::errc{} || end != digits.data() + digits.size() || port == 0 || port > 65535)
      return std::nullopt;
    t.port = static_cast<std::uint16_t>(port);
    where = where.substr(0, colon);
  }
  if (where.empty()) return std::nullopt;
  t.host = std::string(where);
  return t;
}

}  // namespace mirx::dextra
