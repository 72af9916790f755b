#include "controls/access_rules.h"

#include <algorithm>
#include <cctype>
#include <unordered_set>

#include "node/datagrams.h"
#include "platform/ipv4.h"

namespace mirx {

void address_set::add(std::uint32_t first, std::uint32_t last) {
  ranges_.emplace_back(first, last);
}

void address_set::seal() {
  std::sort(ranges_.begin(), ranges_.end());
  std::vector<std::pair<std::uint32_t, std::uint32_t>> merged;
  for (const auto& r : ranges_) {
    if (!merged.empty() &&
        (merged.back().second == 0xffffffffu || r.first <= merged.back().second + 1)) {
      merged.back().second = std::max(merged.back().second, r.second);
    } else {
      merged.push_back(r);
    }
  }
  ranges_ = std::move(merged);
}

bool address_set::contains_host(std::uint32_t a) const {
  // The first range that starts above `a`; the one before it may hold `a`.
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), a,
                             [](std::uint32_t v, const auto& r) { return v < r.first; });
  return it != ranges_.begin() && a <= std::prev(it)->second;
}

bool address_set::contains(std::uint32_t ip) const {
  return contains_host(host_order(ip));
}

namespace {

char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string_view without_trailing_spaces(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

}  // namespace

bool callsign_matches(std::string_view pattern, std::string_view call) {
  // Greedy matching that goes back only to the last '*': enough for globs
  // and linear in practice.
  std::size_t p = 0, c = 0, star = std::string_view::npos, resume = 0;
  while (c < call.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = c;
    } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == upper(call[c]))) {
      ++p;
      ++c;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      c = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::uint32_t pattern_set::child(std::uint32_t at, char c) const {
  for (const auto& [ch, to] : nodes_[at].next)
    if (ch == c) return to;
  return 0;
}

void pattern_set::add(std::string_view pattern) {
  std::uint32_t at = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    // A run of stars is one star: "**" matches what "*" does.
    if (pattern[i] == '*' && i > 0 && pattern[i - 1] == '*') continue;
    std::uint32_t to = child(at, pattern[i]);
    if (to == 0) {
      to = static_cast<std::uint32_t>(nodes_.size());
      nodes_[at].next.emplace_back(pattern[i], to);
      nodes_.emplace_back();
    }
    at = to;
  }
  nodes_[at].ends = true;
}

bool pattern_set::matches(std::string_view call) const {
  // States are (node, characters of the call consumed); each is looked at
  // once, so stars cannot make the walk go round in circles or blow up.
  const std::size_t width = call.size() + 1;
  std::unordered_set<std::uint64_t> seen;
  std::vector<std::pair<std::uint32_t, std::size_t>> todo{{0, 0}};
  const auto go = [&](std::uint32_t to, std::size_t used) {
    if (to != 0) todo.emplace_back(to, used);
  };
  while (!todo.empty()) {
    const auto [at, used] = todo.back();
    todo.pop_back();
    if (!seen.insert(std::uint64_t{at} * width + used).second) continue;
    if (used == call.size() && nodes_[at].ends) return true;
    const std::uint32_t star = child(at, '*');
    for (std::size_t k = used; star != 0 && k <= call.size(); ++k) go(star, k);
    if (used == call.size()) continue;
    go(child(at, '?'), used + 1);
    // A '*' or '?' in the call sign is a character like any other.
    if (call[used] != '*' && call[used] != '?') go(child(at, call[used]), used + 1);
  }
  return false;
}

bool access_rules::admits(std::string_view call, std::uint32_t ip) const {
  if (denied.contains(ip)) return false;
  std::string up(without_trailing_spaces(call));
  std::transform(up.begin(), up.end(), up.begin(), upper);
  if (denied_calls.matches(up)) return false;
  return !any_allow || allowed.contains(ip) || allowed_calls.matches(up);
}

namespace {

// "a.b.c.d" or "a.b.c.d/n" as an inclusive host-order range; nothing when the
// text is not exactly one. Host bits below the prefix are ignored.
std::optional<std::pair<std::uint32_t, std::uint32_t>> parse_network(std::string_view t) {
  const std::optional<std::uint32_t> ip = take_ipv4(t);
  if (!ip) return std::nullopt;
  const std::uint32_t address = host_order(*ip);
  unsigned prefix = 32;
  if (!t.empty() && t.front() == '/') {
    t.remove_prefix(1);
    const std::optional<unsigned> bits = take_decimal(t, 32);
    if (!bits) return std::nullopt;
    prefix = *bits;
  }
  if (!t.empty()) return std::nullopt;
  const std::uint32_t host_mask =
      prefix == 0 ? 0xffffffffu : (std::uint32_t{1} << (32 - prefix)) - 1;
  return std::make_pair(address & ~host_mask, address | host_mask);
}

// A word meant as an address, which must then be a valid one rather than a
// pattern that never matches: call signs hold no point or slash, and none is
// a run of digits without a letter (2E0ABC begins with a digit, 10* does not
// name a call sign).
bool looks_like_address(std::string_view t) {
  if (t.find_first_of("./") != std::string_view::npos) return true;
  const bool has_letter = std::any_of(
      t.begin(), t.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; });
  return std::isdigit(static_cast<unsigned char>(t.front())) != 0 && !has_letter;
}

std::vector<std::string_view> words_of(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    const std::size_t start = line.find_first_not_of(" \t", i);
    if (start == std::string_view::npos) break;
    std::size_t end = line.find_first_of(" \t", start);
    if (end == std::string_view::npos) end = line.size();
    words.push_back(line.substr(start, end - start));
    i = end;
  }
  return words;
}

bool same_word(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return upper(x) == upper(y); });
}

// The fault of a pattern, or empty when it is one.
std::string pattern_fault(std::string_view p) {
  std::size_t fixed = 0;  // characters that must be present in the call sign
  for (char ch : p) {
    const auto b = static_cast<unsigned char>(ch);
    if (b <= 0x20 || b >= 0x7f) return "a call-sign pattern holds an unprintable character";
    if (ch != '*') ++fixed;
  }
  if (fixed > call_size) return "call-sign pattern longer than 8 characters";
  return {};
}

// One line into `r`; the fault, or empty when the line is good.
std::string add_line(std::string_view line, access_rules& r) {
  line = line.substr(0, line.find('#'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::vector<std::string_view> w = words_of(line);
  if (w.empty()) return {};
  const bool allow = same_word(w[0], "allow");
  if (!allow && !same_word(w[0], "deny")) return "\"allow\" or \"deny\" expected";
  if (w.size() == 1) return "a call-sign pattern or an address expected after the word";
  if (w.size() > 2) return "more than one pattern on the line";
  if (looks_like_address(w[1])) {
    const auto range = parse_network(w[1]);
    if (!range) return "not an IPv4 address or network (a.b.c.d or a.b.c.d/n)";
    (allow ? r.allowed : r.denied).add(range->first, range->second);
  } else {
    std::string fault = pattern_fault(w[1]);
    if (!fault.empty()) return fault;
    std::string pattern(w[1]);
    std::transform(pattern.begin(), pattern.end(), pattern.begin(), upper);
    (allow ? r.allowed_calls : r.denied_calls).add(std::move(pattern));
  }
  r.any_allow = r.any_allow || allow;
  ++r.count;
  return {};
}

}  // namespace

access_parse parse_access_rules(std::string_view text) {
  access_parse result;
  access_rules r;
  int number = 0;
  // A byte-order mark that an editor put in front of the first line.
  if (text.substr(0, 3) == "\xef\xbb\xbf") text.remove_prefix(3);
  while (!text.empty()) {
    ++number;
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    std::string fault = add_line(line, r);
    if (!fault.empty()) {
      result.line = number;
      result.fault = std::move(fault);
      return result;
    }
  }
  // A file without a rule is never what an operator means (a stray
  // redirect, a save cut short on a full disk): refused, not "admit all".
  if (r.count == 0) {
    result.fault = "no rule in the file (write \"allow *\" to admit everyone)";
    return result;
  }
  r.allowed.seal();
  r.denied.seal();
  result.rules = std::move(r);
  return result;
}

}  // namespace mirx
