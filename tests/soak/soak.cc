// Soak test: the real server under a long run of mixed traffic on loopback.
// 50 stations register, move, disconnect and talk in interleaved streams;
// strangers at other loopback addresses send junk of every length and
// hostile registrations. A reference of the conference predicts every
// datagram each station must receive and every line of the log file; after
// the run the server must be alive, its resident memory close to what it was
// after warm-up, nothing lost, nothing corrupted, and its log complete.
//
//   mirx_soak [--datagrams N] [--seed S] [--rss-slack-kib K] [--max-seconds T]
//             [--debug 1]
// With --debug 1 the server runs with -d: every relay is echoed to its
// sender as well, and the console carries a line for every send.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "e2e/server_process.h"
#include "model/conference_model.h"
#include "nodelib/packets.h"
#include "soak/deliveries.h"
#include "soak/log_check.h"
#include "soak/traffic.h"

namespace mirx::soak {
namespace {

constexpr int stations = 50;
constexpr int strangers = 32;
constexpr std::size_t sync_station = stations;  // registers at the end of every round
// A round is bounded so that neither the server's receive queue nor any
// station's can overflow before the round is read.
constexpr std::size_t round_datagrams = 48;
constexpr std::size_t round_junk_bytes = 96 * 1024;
constexpr std::size_t round_pending = 200;
constexpr int sync_timeout_ms = 10000;

struct options {
  std::uint64_t datagrams = 20000;
  std::uint64_t seed = 1;
  long rss_slack_kib = 128;
  long max_seconds = 1800;
  bool debug = false;
};

bool parse(int argc, char** argv, options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const long long value = std::atoll(argv[i + 1]);
    if (key == "--datagrams")
      o.datagrams = static_cast<std::uint64_t>(value);
    else if (key == "--seed")
      o.seed = static_cast<std::uint64_t>(value);
    else if (key == "--rss-slack-kib")
      o.rss_slack_kib = static_cast<long>(value);
    else if (key == "--max-seconds")
      o.max_seconds = static_cast<long>(value);
    else if (key == "--debug")
      o.debug = value != 0;
    else
      return false;
  }
  return argc % 2 == 1;
}

// Resident memory of a process in KiB, and whether it is still running.
struct process_state {
  bool alive = false;
  long rss_kib = -1;
};

process_state look_at(pid_t pid) {
  process_state s;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("State:", 0) == 0) s.alive = line.find_first_of("ZX", 6) == std::string::npos;
    if (line.rfind("VmRSS:", 0) == 0) s.rss_kib = std::atol(line.c_str() + 6);
  }
  return s;
}

class soak_run {
 public:
  explicit soak_run(const options& o)
      : opts_(o), fixture_(stations + 1), plan_(o.seed, stations, strangers), got_(stations + 1) {
    std::mt19937_64 pick(o.seed ^ 0x5eedull);
    while (strangers_.size() < strangers) {
      const std::string at = "127." + std::to_string(1 + pick() % 254) + "." +
                             std::to_string(pick() % 256) + "." + std::to_string(1 + pick() % 254);
      if (auto s = nodes::udp_endpoint::bind(at, 0)) strangers_.push_back(std::move(*s));
    }
    for (std::size_t i = 0; i < fixture_.nodes.size(); ++i) station_of_[fixture_.nodes[i].ip()] = i;
  }

  int run();

 private:
  void send(const planned& p);
  void one_round();
  bool sync();
  std::string report(const process_state& warm, const process_state& end, int exit_status,
                     const std::string& log_difference) const;

  options opts_;
  e2e::conference_fixture fixture_;
  std::vector<nodes::udp_endpoint> strangers_;
  std::map<std::uint32_t, std::size_t> station_of_;
  traffic plan_;
  model::conference_model model_{opts_.debug};
  deliveries got_;
  expected_log log_;
  std::uint64_t sent_ = 0, send_failures_ = 0, rounds_ = 0;
  std::uint64_t sent_by_kind_[what_count] = {};
  std::uint64_t junk_bytes_ = 0;
  std::size_t round_junk_ = 0;
  std::size_t table_warm_ = 0;
};

// Sends one datagram and records what it must bring about.
void soak_run::send(const planned& p) {
  const nodes::udp_endpoint& from =
      p.from.stranger ? strangers_[p.from.index] : fixture_.nodes[p.from.index];
  if (!from.send_to(p.data.data(), p.data.size(), fixture_.server_ip, fixture_.in_port)) {
    ++send_failures_;
    return;
  }
  ++sent_;
  ++sent_by_kind_[static_cast<int>(p.kind)];
  if (p.kind == what::junk) {
    junk_bytes_ += p.data.size();
    round_junk_ += p.data.size();
  }
  const model::outcome o = model_.apply(p.data.data(), static_cast<long>(p.data.size()), from.ip());
  log_.note(o);
  for (const model::entry& e : o.relay_to) {
    auto s = station_of_.find(e.ip);
    if (s != station_of_.end()) got_.expect_copy(s->second, p.data);
  }
  auto sender = station_of_.find(from.ip());
  if (sender == station_of_.end()) return;
  if (o.reply) {
    bytes reply(p.data.begin(), p.data.begin() + 16);
    reply[0] = 'S';
    reply[1] = 'A';
    got_.expect_copy(sender->second, reply);
  }
  if (o.ack)
    for (int n = 0; n < 12; ++n) got_.expect_ack(sender->second, n);
}

// The sync station's registration is answered only after everything sent
// before it has been handled, so once its reply is in, every station holds
// all it will get for this round.
bool soak_run::sync() {
  const auto r = nodes::make_registration("SYNC", "SOAK");
  send({{false, static_cast<int>(sync_station)}, what::sync, bytes(r.begin(), r.end())});
  const bool answered = got_.wait_all(sync_station, fixture_.nodes[sync_station], sync_timeout_ms);
  for (std::size_t s = 0; s < stations; ++s) got_.take(s, fixture_.nodes[s]);
  got_.end_round();
  ++rounds_;
  return answered;
}

void soak_run::one_round() {
  std::vector<planned> step;
  round_junk_ = 0;
  std::size_t in_round = 0;
  while (in_round < round_datagrams && round_junk_ < round_junk_bytes &&
         sent_ + in_round < opts_.datagrams) {
    step.clear();
    plan_.next(step);
    for (const planned& p : step) send(p);
    in_round += step.size();
    bool full = false;
    for (std::size_t s = 0; s <= stations; ++s) full = full || got_.pending(s) >= round_pending;
    if (full) break;
  }
}

int soak_run::run() {
  fixture_.start(opts_.debug ? std::vector<std::string>{"-d"} : std::vector<std::string>{});
  const auto started = std::chrono::steady_clock::now();
  const std::uint64_t warm_at = std::max<std::uint64_t>(2000, opts_.datagrams / 10);
  process_state warm, end;
  bool in_time = true, answered = sync();
  while (answered && in_time && sent_ < opts_.datagrams) {
    one_round();
    answered = sync();
    if (warm.rss_kib < 0 && sent_ >= warm_at) {
      warm = look_at(fixture_.server.pid());
      table_warm_ = model_.entries().size();
    }
    in_time = std::chrono::steady_clock::now() - started < std::chrono::seconds(opts_.max_seconds);
  }
  end = look_at(fixture_.server.pid());
  fixture_.server.signal(SIGINT);
  const int exit_status = fixture_.server.wait_exit(10000);
  const std::string difference =
      compare(log_.finished(), read_log(fixture_.server.dir() + "/MirxServerLog"));
  const std::string failures = report(warm, end, exit_status, difference);
  if (!answered) std::printf("FAILED: the server stopped answering\n");
  if (!in_time) std::printf("FAILED: the run took longer than %ld s\n", opts_.max_seconds);
  std::printf("%s", failures.c_str());
  const bool passed = answered && in_time && failures.empty();
  std::printf("soak: %s\n", passed ? "passed" : "FAILED");
  return passed ? 0 : 1;
}

// Prints the figures and returns the reasons for failing, if any.
std::string soak_run::report(const process_state& warm, const process_state& end, int exit_status,
                             const std::string& log_difference) const {
  std::printf("datagrams sent: %llu in %llu rounds (send failures %llu)\n",
              static_cast<unsigned long long>(sent_), static_cast<unsigned long long>(rounds_),
              static_cast<unsigned long long>(send_failures_));
  for (int k = 0; k < what_count; ++k)
    std::printf("  %-21s %llu\n", name_of(static_cast<what>(k)),
                static_cast<unsigned long long>(sent_by_kind_[k]));
  std::printf("  junk bytes            %llu\n", static_cast<unsigned long long>(junk_bytes_));
  const delivery_counts& c = got_.counts();
  std::printf("deliveries: expected %llu, verified %llu, lost %llu, wrong %llu\n",
              static_cast<unsigned long long>(c.expected),
              static_cast<unsigned long long>(c.verified), static_cast<unsigned long long>(c.lost),
              static_cast<unsigned long long>(c.wrong));
  std::printf(
      "resident memory: %ld KiB after warm-up (%zu entries), %ld KiB after the run "
      "(%zu entries)\n",
      warm.rss_kib, table_warm_, end.rss_kib, model_.entries().size());
  const log_summary expected = log_.finished();
  std::printf("log lines expected:");
  for (int k = 0; k < line_kind_count; ++k)
    std::printf(" %s %llu;", name_of(static_cast<line_kind>(k)),
                static_cast<unsigned long long>(expected.counts[k]));
  std::printf("\n");
  std::string why;
  for (const std::string& p : got_.problems()) why += p + "\n";
  if (c.lost != 0 || c.wrong != 0 || send_failures_ != 0 || c.verified != c.expected)
    why += "deliveries incomplete\n";
  if (!end.alive) why += "the server was not alive at the end of the run\n";
  if (warm.rss_kib < 0 || end.rss_kib < 0 || end.rss_kib - warm.rss_kib > opts_.rss_slack_kib)
    why += "resident memory grew by more than " + std::to_string(opts_.rss_slack_kib) + " KiB\n";
  if (exit_status != 3) why += "stop ended with status " + std::to_string(exit_status) + "\n";
  if (!log_difference.empty()) why += "log file: " + log_difference;
  return why;
}

}  // namespace
}  // namespace mirx::soak

int main(int argc, char** argv) {
  mirx::soak::options o;
  if (!mirx::soak::parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: mirx_soak [--datagrams N] [--seed S] [--rss-slack-kib K] "
                 "[--max-seconds T] [--debug 1]\n");
    return 2;
  }
  return mirx::soak::soak_run(o).run();
}
