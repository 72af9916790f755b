#pragma once

// The operator's access list: "allow" and "deny" rules, one a line, each for
// a call-sign pattern or an IPv4 address or network. A registration is
// admitted when no deny rule matches its call sign or its address and, when
// any allow rule exists, at least one allow rule matches either.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mirx {

// A set of IPv4 addresses as sorted, disjoint ranges in host order, so that
// a lookup is one binary search however many rules made the set.
class address_set {
 public:
  void add(std::uint32_t first, std::uint32_t last);  // host order, inclusive
  void seal();                                        // sorts and merges; call before lookups
  bool contains_host(std::uint32_t host_order) const;
  bool contains(std::uint32_t ip) const;  // network byte order
  bool empty() const { return ranges_.empty(); }

 private:
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges_;
};

// Call-sign patterns ('*' any run, '?' one character, upper case) compiled
// into one tree of their characters, wildcards included, so that patterns
// sharing a beginning share its nodes. A call sign walks the tree once: from
// each node it follows only its own next character, '?' and '*', so the work
// is bounded by the nodes that agree with the call sign, not by the number
// of patterns, whatever wildcard they begin with.
class pattern_set {
 public:
  void add(std::string_view pattern);
  // `call` upper case, trailing spaces left out.
  bool matches(std::string_view call) const;

 private:
  struct node {
    std::vector<std::pair<char, std::uint32_t>> next;  // by character, '*' and '?' included
    bool ends = false;                                 // a whole pattern ends here
  };
  std::uint32_t child(std::uint32_t at, char c) const;  // 0: none (the root is no one's child)
  std::vector<node> nodes_{1};
};

struct access_rules {
  pattern_set allowed_calls;
  pattern_set denied_calls;
  address_set allowed;
  address_set denied;
  bool any_allow = false;
  std::size_t count = 0;  // rules in the file

  // True when a deny rule names the address (network byte order).
  bool denies_address(std::uint32_t ip) const { return denied.contains(ip); }
  // `call` is the call sign as printed, trailing spaces included or not.
  bool admits(std::string_view call, std::uint32_t ip) const;
};

// A file parsed whole, or the first fault: its line (from 1; 0 for a fault of
// the whole file, such as holding no rule) and what is wrong.
struct access_parse {
  std::optional<access_rules> rules;
  int line = 0;
  std::string fault;
};
access_parse parse_access_rules(std::string_view text);

// `pattern` upper case; `call` compared without regard to case.
bool callsign_matches(std::string_view pattern, std::string_view call);

}  // namespace mirx
