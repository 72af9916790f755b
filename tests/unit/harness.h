#pragma once

// A conference with no network: sends land in a fake link that records them
// and fails them on demand; console and log file are captured in memory.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "node/conference.h"
#include "platform/ipv4.h"

namespace mirx::testing {

struct sent {
  std::vector<std::uint8_t> bytes;
  std::uint32_t ip;
};

class fake_link final : public node_link {
 public:
  std::vector<sent> node_sends;  // every attempt, retries included
  std::vector<std::vector<std::uint8_t>> records;
  std::vector<int> waits;
  std::deque<int> failures;  // outcome of the next attempts; empty: success
  // Outcomes of the next attempts at one destination, taken before `failures`.
  std::map<std::uint32_t, std::deque<int>> failures_at;
  // When set, send_to_nodes behaves as the kernel's batch call: in order,
  // stopping at the first failure, whose code is told only when it is the
  // first of the call. Otherwise it is the one-at-a-time default.
  bool batching = false;
  std::vector<std::size_t> batch_sizes;

  int send_to_node(const std::uint8_t* data, std::size_t length, std::uint32_t ip) override {
    node_sends.push_back({{data, data + length}, ip});
    if (auto at = failures_at.find(ip); at != failures_at.end() && !at->second.empty()) {
      const int e = at->second.front();
      at->second.pop_front();
      return e;
    }
    if (failures.empty()) return 0;
    const int e = failures.front();
    failures.pop_front();
    return e;
  }
  std::size_t send_to_nodes(const std::uint8_t* data, std::size_t length, const std::uint32_t* ips,
                            std::size_t count, int* error) override {
    if (!batching) return node_link::send_to_nodes(data, length, ips, count, error);
    batch_sizes.push_back(count);
    for (std::size_t i = 0; i < count; ++i) {
      if (const int e = send_to_node(data, length, ips[i]); e != 0) {
        *error = i == 0 ? e : 0;
        return i;
      }
    }
    *error = 0;
    return count;
  }
  void send_to_log_server(const std::uint8_t* data, std::size_t length) override {
    records.emplace_back(data, data + length);
  }
  void wait_ms(int ms) override { waits.push_back(ms); }

  std::vector<std::uint32_t> ips() const {
    std::vector<std::uint32_t> to;
    for (const sent& s : node_sends) to.push_back(s.ip);
    return to;
  }
};

// A FILE* whose text can be read back.
class captured {
 public:
  captured() : file_(open_memstream(&buf_, &len_)) {}
  ~captured() {
    std::fclose(file_);
    std::free(buf_);
  }
  captured(const captured&) = delete;
  captured& operator=(const captured&) = delete;
  std::FILE* file() const { return file_; }
  std::string text() const {
    std::fflush(file_);
    return std::string(buf_, len_);
  }

 private:
  char* buf_ = nullptr;
  std::size_t len_ = 0;
  std::FILE* file_;
};

// Replaces every time stamp with "TS" so lines can be compared exactly.
inline std::string unstamp(const std::string& text) {
  static const std::regex stamp(
      "[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");
  return std::regex_replace(text, stamp, "TS");
}

struct harness {
  captured console, log;
  output out;
  fake_link net;
  conference conf{out, net, {}, {}, {}};

  explicit harness(bool debug = false, bool info = false, bool with_log = true) {
    out.console = console.file();
    out.log = with_log ? log.file() : nullptr;
    out.debug = debug;
    out.info = info;
  }
  std::string console_text() const { return unstamp(console.text()); }
  std::string log_text() const { return unstamp(log.text()); }
};

inline std::uint32_t ip(int a, int b, int c, int d) {
  return address_of(static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                    static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(d));
}

inline std::string text_of(const callsign& c) {
  return std::string(c.data(), strnlen(c.data(), 8));
}

}  // namespace mirx::testing
