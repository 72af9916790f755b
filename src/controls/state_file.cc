#include "controls/state_file.h"

#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "platform/ipv4.h"

namespace mirx {
namespace {

constexpr std::string_view first_line = "mirx-server node table 1\n";

void put_quoted(std::string& out, const callsign& c) {
  out += '"';
  for (std::size_t i = 0; i < call_size && c[i] != 0; ++i) {
    const auto b = static_cast<unsigned char>(c[i]);
    if (b < 0x20 || b > 0x7e || b == '"' || b == '\\') {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", b);
      out += escaped;
    } else {
      out += c[i];
    }
  }
  out += '"';
}

int hex_digit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// Reads a quoted call sign at the front of `t` and takes it off.
bool take_quoted(std::string_view& t, callsign& c) {
  if (t.empty() || t.front() != '"') return false;
  t.remove_prefix(1);
  c = {};
  std::size_t n = 0;
  while (!t.empty() && t.front() != '"') {
    char ch = t.front();
    if (ch == '\\') {
      if (t.size() < 4 || t[1] != 'x' || hex_digit(t[2]) < 0 || hex_digit(t[3]) < 0) return false;
      ch = static_cast<char>(hex_digit(t[2]) * 16 + hex_digit(t[3]));
      t.remove_prefix(4);
    } else {
      t.remove_prefix(1);
    }
    // A stored call sign ends at its first zero byte and holds at most 8.
    if (ch == 0 || n == call_size) return false;
    c[n++] = ch;
  }
  if (t.empty()) return false;
  t.remove_prefix(1);
  return true;
}

bool take(std::string_view& t, char ch) {
  if (t.empty() || t.front() != ch) return false;
  t.remove_prefix(1);
  return true;
}

bool parse_entry(std::string_view line, node_entry& e) {
  if (!take_quoted(line, e.call1) || !take(line, ' ') || !take_quoted(line, e.call2) ||
      !take(line, ' '))
    return false;
  const std::optional<std::uint32_t> ip = parse_ipv4(line);
  if (!ip) return false;
  e.ip = *ip;
  return true;
}

}  // namespace

std::string format_state(const std::vector<node_entry>& entries) {
  std::string out(first_line);
  for (const node_entry& e : entries) {
    put_quoted(out, e.call1);
    out += ' ';
    put_quoted(out, e.call2);
    out += ' ';
    out += dotted(e.ip).text;
    out += '\n';
  }
  out += "end " + std::to_string(entries.size()) + "\n";
  return out;
}

std::optional<std::vector<node_entry>> parse_state(std::string_view text, std::string* fault) {
  auto fail = [&](std::string why) {
    *fault = std::move(why);
    return std::nullopt;
  };
  if (text.substr(0, first_line.size()) != first_line) return fail("not a saved node table");
  text.remove_prefix(first_line.size());
  std::vector<node_entry> entries;
  std::unordered_set<std::uint64_t> seen;  // every call1 so far, as its 8 bytes
  for (;;) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return fail("cut short");
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (line.substr(0, 4) == "end ") {
      if (line.substr(4) != std::to_string(entries.size()) || !text.empty())
        return fail("entry count does not match");
      return entries;
    }
    node_entry e{};
    if (!parse_entry(line, e))
      return fail("entry " + std::to_string(entries.size() + 1) + " unreadable");
    std::uint64_t key;
    std::memcpy(&key, e.call1.data(), sizeof key);
    if (!seen.insert(key).second)
      return fail("call sign twice (entry " + std::to_string(entries.size() + 1) + ")");
    entries.push_back(e);
  }
}

}  // namespace mirx
