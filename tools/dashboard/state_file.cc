#include "dashboard/state_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "node/datagrams.h"

namespace mirx::dashboard {
namespace {

using nlohmann::json;

constexpr int file_version = 1;

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) out += {digits[b >> 4], digits[b & 15]};
  return out;
}

// The bytes of a hex text, at most a call sign long; throws on anything else.
std::string unhex(const std::string& text) {
  if (text.size() % 2 != 0 || text.size() > 2 * call_size) throw std::runtime_error("bad call");
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const unsigned long b = std::stoul(text.substr(i, 2), nullptr, 16);
    if (b == 0) throw std::runtime_error("zero byte in call");
    out += static_cast<char>(b);
  }
  return out;
}

json junk_file(const junk_note& n) {
  return {n.count, n.first, n.last, n.from};
}

junk_note junk_from_file(const json& j) {
  return {j.at(0).get<std::uint64_t>(), j.at(1).get<millis>(), j.at(2).get<millis>(),
          j.at(3).get<std::uint32_t>()};
}

json to_file(const state& s) {
  json nodes = json::array(), heard = json::array(), hours = json::array();
  for (const auto& [call1, n] : s.nodes)
    nodes.push_back(
        {hex(n.call1), hex(n.call2), n.ip, n.since, n.last_header, hex(n.last_speaker)});
  for (const heard_entry& h : s.heard)
    heard.push_back({h.at, hex(h.my_call), hex(h.call1), hex(h.call2), h.duration_ms, h.ended_by});
  for (const auto& [hour, count] : s.hours) hours.push_back({hour, count});
  json calls = json::array();
  for (const heard_call& h : s.calls)
    calls.push_back({hex(h.my_call), hex(h.call1), hex(h.call2), h.at, h.overs_today, h.duration_ms,
                     h.ended_by, h.quarters});
  const feed_counters& c = s.count;
  return {{"version", file_version},
          {"watching_since", s.watching_since},
          {"last_record", s.last_record},
          {"nodes", nodes},
          {"heard", heard},
          {"calls", calls},
          {"hours", hours},
          {"junk", {junk_file(c.recent_rejected), junk_file(c.recent_malformed)}},
          {"counts",
           {c.add, c.del, c.acc, c.rejected, c.malformed, c.end, c.run, c.hbt, c.off,
            c.rows_dropped, c.nod}}};
}

state from_file(const json& j) {
  if (j.at("version").get<int>() != file_version) throw std::runtime_error("unknown version");
  state s;
  s.watching_since = j.at("watching_since").get<millis>();
  s.last_record = j.at("last_record").get<millis>();
  for (const json& n : j.at("nodes")) {
    node_row row{unhex(n.at(0)),        unhex(n.at(1)),        n.at(2).get<std::uint32_t>(),
                 n.at(3).get<millis>(), n.at(4).get<millis>(), unhex(n.at(5))};
    put_row(s, std::move(row));
  }
  for (const json& h : j.at("heard")) {
    if (s.heard.size() == heard_limit) break;
    s.heard.push_back({h.at(0).get<millis>(), unhex(h.at(1)), unhex(h.at(2)), unhex(h.at(3)),
                       h.size() > 4 ? h.at(4).get<std::int64_t>() : no_duration,
                       h.size() > 5 ? h.at(5).get<int>() : 0});
  }
  // Files written before speakers were counted have no "calls".
  for (const json& h : j.value("calls", json::array())) {
    if (s.calls.size() == heard_limit) break;
    s.calls.push_back({unhex(h.at(0)), unhex(h.at(1)), unhex(h.at(2)), h.at(3).get<millis>(),
                       h.at(4).get<std::uint32_t>(), h.at(5).get<std::int64_t>(),
                       h.size() > 6 ? h.at(6).get<int>() : 0,
                       h.size() > 7 ? h.at(7).get<std::map<std::int64_t, std::uint32_t>>()
                                    : std::map<std::int64_t, std::uint32_t>{}});
  }
  for (const json& h : j.at("hours")) s.hours[h.at(0).get<std::int64_t>()] = h.at(1);
  const json& c = j.at("counts");
  std::uint64_t* const counts[] = {&s.count.add,          &s.count.del,       &s.count.acc,
                                   &s.count.rejected,     &s.count.malformed, &s.count.end,
                                   &s.count.run,          &s.count.hbt,       &s.count.off,
                                   &s.count.rows_dropped, &s.count.nod};
  for (std::size_t i = 0; i < std::size(counts); ++i)
    *counts[i] = i < 5 || i < c.size() ? c.at(i).get<std::uint64_t>() : 0;
  if (j.contains("junk")) {
    s.count.recent_rejected = junk_from_file(j["junk"].at(0));
    s.count.recent_malformed = junk_from_file(j["junk"].at(1));
  }
  return s;
}

std::string system_error(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

}  // namespace

std::string save_state(const state& s, const std::string& path) {
  const std::string text = to_file(s).dump();
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return system_error("cannot create", temporary);
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  const bool complete = written == text.size() && ::fsync(fd) == 0;
  std::string why = complete ? "" : system_error("cannot write", temporary);
  if (::close(fd) != 0 && why.empty()) why = system_error("cannot close", temporary);
  if (why.empty() && ::rename(temporary.c_str(), path.c_str()) != 0)
    why = system_error("cannot rename to", path);
  if (!why.empty()) ::unlink(temporary.c_str());
  return why;
}

std::string load_state(state& s, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return errno == ENOENT ? "" : system_error("cannot read", path);
  try {
    std::ostringstream text;
    text << in.rdbuf();
    s = from_file(json::parse(text.str()));
    return "";
  } catch (const std::exception& e) {
    return "damaged state file " + path + ": " + e.what();
  }
}

}  // namespace mirx::dashboard
