// The load driver: runs the reference relay and the server side by side
// under the same load and prints one summary line per relay and run.
//
//   mirx_load --nodes N [--streams 1,5] [--pps 50] [--seconds 1] [--rounds 4]
//             [--max-rate] [--trial-seconds 1]
//             [--relays reference,server,server-log,server-i,reference-mmsg,
//                       reference-uring,server-fast,baseline,...]
//             [--server PATH] [--reference PATH] [--baseline PATH]
//             [--ctl-config FILE]
//
// A relay named "...-ctl" (server-ctl, server-log-ctl) runs with the lines of
// the --ctl-config file added to its configuration, and "server-fast..." with
// FastRelay=ON; their lines also carry their ratio to the same relay without
// them, measured in the same rounds, as reference-uring's does to reference,
// and every line its ratio to reference-mmsg when that runs.
//
// Exit status 1 when a relay did not start, delivered nothing, or its log
// file does not hold one line per voice packet it relayed.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/phase.h"
#include "driver/rate_search.h"
#include "driver/report.h"

namespace mirx::bench {
namespace {

struct options {
  int nodes = 10;
  std::vector<int> streams{1, 5};
  double pps = 50;
  double seconds = 1;
  int rounds = 4;
  bool max_rate = false;
  double trial_seconds = 1;
  std::vector<std::string> relays{"reference", "server", "server-log", "server-i"};
  relay_binaries bin{MIRX_SERVER_PATH, MIRX_REFERENCE_PATH, ""};
  std::string ctl_config;  // added to the configuration of the "-ctl" relays
};

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string p; std::getline(in, p, ',');) parts.push_back(p);
  return parts;
}

// The relays start in directories of their own: paths must not be relative.
std::string absolute(const char* path) {
  std::error_code ignored;
  return std::filesystem::absolute(path, ignored).string();
}

bool read_value(const std::string& name, const char* v, options& o) {
  if (name == "--nodes") {
    o.nodes = std::atoi(v);
  } else if (name == "--streams") {
    o.streams.clear();
    for (const auto& s : split(v)) o.streams.push_back(std::atoi(s.c_str()));
  } else if (name == "--pps") {
    o.pps = std::atof(v);
  } else if (name == "--seconds") {
    o.seconds = std::atof(v);
  } else if (name == "--rounds") {
    o.rounds = std::atoi(v);
  } else if (name == "--trial-seconds") {
    o.trial_seconds = std::atof(v);
  } else if (name == "--relays") {
    o.relays = split(v);
  } else if (name == "--server") {
    o.bin.server = absolute(v);
  } else if (name == "--reference") {
    o.bin.reference = absolute(v);
  } else if (name == "--baseline") {
    o.bin.baseline = absolute(v);
  } else if (name == "--ctl-config") {
    std::ifstream in(v);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) return false;
    o.ctl_config = text.str();
  } else {
    return false;
  }
  return true;
}

bool read_options(int argc, char** argv, options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--max-rate") {
      o.max_rate = true;
    } else if (i + 1 >= argc || !read_value(a, argv[++i], o)) {
      return false;
    }
  }
  for (const auto& r : o.relays)
    if (r.rfind("baseline", 0) == 0 && o.bin.baseline.empty()) return false;
  return o.nodes >= 2 && o.nodes <= 1000 && o.rounds >= 1 && o.seconds > 0 && o.seconds <= 60 &&
         o.trial_seconds > 0 && o.trial_seconds <= 60 && !o.relays.empty() &&
         o.relays.front() == "reference";
}

// reference, reference-mmsg, reference-uring, reference-uring-linked;
// server, server-log, server-i, each also with "-fast" after "server"
// (FastRelay=ON); baseline, baseline-log, baseline-i (the --baseline build).
relay_setup setup_of(const std::string& full_name, const std::string& ctl_config) {
  relay_setup s;
  s.name = full_name;
  const bool ctl = full_name.ends_with("-ctl");
  if (ctl) s.extra_config = ctl_config;
  const std::string name = ctl ? full_name.substr(0, full_name.size() - 4) : full_name;
  s.reference = name.rfind("reference", 0) == 0;
  s.batch = name == "reference-mmsg";
  s.uring = name.rfind("reference-uring", 0) == 0;
  s.linked = name == "reference-uring-linked";
  if (name.find("-fast") != std::string::npos) s.extra_config += "FastRelay=ON;\n";
  s.baseline = name.rfind("baseline", 0) == 0;
  s.log_file = name.ends_with("-log") || name.ends_with("-i");
  s.info = name.ends_with("-i");
  return s;
}

struct relay_run {
  std::unique_ptr<relay_process> process;
  long rss_empty = 0, rss_registered = 0;
  std::uint64_t voice_relayed = 0;  // to check the log file against
};

bool start_relays(const options& o, node_farm& farm, std::vector<relay_run>& runs) {
  for (const auto& name : o.relays) {
    relay_run r;
    r.process = std::make_unique<relay_process>(setup_of(name, o.ctl_config), o.bin, farm.port());
    for (int i = 0; i < 500 && !r.process->in_socket().bound; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    r.rss_empty = r.process->rss_kib();
    if (!register_nodes(farm, *r.process)) {
      std::fprintf(stderr, "%s did not answer the registrations\n", name.c_str());
      return false;
    }
    r.rss_registered = r.process->rss_kib();
    // On standard error, for attaching a profiler to the relay.
    std::fprintf(stderr, "pid %s %d\n", name.c_str(), static_cast<int>(r.process->pid()));
    runs.push_back(std::move(r));
  }
  return true;
}

std::size_t index_of(const options& o, const std::string& name) {
  for (std::size_t k = 0; k < o.relays.size(); ++k)
    if (o.relays[k] == name) return k;
  return o.relays.size();
}

// The relays that relay `i` is also compared with, besides the reference:
// the same relay without "-ctl" or "-fast" (reference-uring: without
// "-uring"), and the batched reference, reference-mmsg, when it runs.
std::vector<std::size_t> compared_with(const options& o, std::size_t i) {
  std::vector<std::size_t> with;
  const std::string& name = o.relays[i];
  std::string twin = name;
  if (name.ends_with("-ctl")) twin = name.substr(0, name.size() - 4);
  for (const char* part : {"-fast", "-uring"})
    if (const auto at = twin.find(part); at != std::string::npos)
      twin.erase(at, std::string(part).size());
  if (twin != name && index_of(o, twin) < o.relays.size()) with.push_back(index_of(o, twin));
  const std::size_t mmsg = index_of(o, "reference-mmsg");
  if (mmsg < o.relays.size() && mmsg != i && (with.empty() || with[0] != mmsg))
    with.push_back(mmsg);
  return with;
}

phase_result measure(node_farm& farm, relay_run& run, const load& l) {
  phase_result r = run_phase(farm, *run.process, l);
  run.voice_relayed += r.got.latency.count();
  return r;
}

bool paced_runs(const options& o, node_farm& farm, std::vector<relay_run>& runs) {
  bool ok = true;
  for (int streams : o.streams) {
    const load l{streams, o.pps * streams, o.seconds};
    std::vector<std::vector<phase_result>> rounds(runs.size());
    for (int round = 0; round < o.rounds; ++round)
      for (std::size_t i = 0; i < runs.size(); ++i) rounds[i].push_back(measure(farm, runs[i], l));
    for (std::size_t i = 0; i < runs.size(); ++i) {
      const run_label label{o.nodes, streams, l.total_pps, runs[i].process->setup().name};
      phase_result total;
      for (const phase_result& r : rounds[i]) total.add(r);
      const ratios vs = median_ratios(rounds[i], rounds[0]);
      std::string line = run_line(label, total, i == 0 ? nullptr : &vs);
      for (const std::size_t base : compared_with(o, i)) {
        const ratios vs = median_ratios(rounds[i], rounds[base]);
        char more[96];
        std::snprintf(more, sizeof more, "  vs %s: cpu x%.3f p99 x%.2f", o.relays[base].c_str(),
                      vs.cpu, vs.p99);
        line += more;
      }
      std::printf("%s\n", line.c_str());
      ok = ok && total.got.relayed > 0;
    }
    std::fflush(stdout);
  }
  return ok;
}

// The searches of all relays advance in turns, so that a noisy spell on the
// machine falls on all of them alike.
void max_rate_runs(const options& o, node_farm& farm, std::vector<relay_run>& runs) {
  std::vector<rate_search> searches(runs.size(), rate_search(250, 200000, 5));
  std::vector<phase_result> at_best(runs.size());
  for (bool busy = true; busy;) {
    busy = false;
    for (std::size_t i = 0; i < runs.size(); ++i) {
      if (searches[i].done()) continue;
      busy = true;
      const double rate = searches[i].next();
      phase_result r = measure(farm, runs[i], {5, rate, o.trial_seconds});
      // One bad second on a shared machine is no verdict: a rate fails only
      // when it fails twice in a row.
      if (!r.lossless_and_prompt()) r = measure(farm, runs[i], {5, rate, o.trial_seconds});
      const bool passed = r.lossless_and_prompt();
      if (passed && rate > searches[i].best()) at_best[i] = r;
      searches[i].record(passed);
    }
  }
  for (std::size_t i = 0; i < runs.size(); ++i)
    std::printf("%s\n", rate_line(o.nodes, runs[i].process->setup().name, searches[i].best(),
                                  at_best[i], searches[0].best())
                            .c_str());
  std::fflush(stdout);
}

// Every delivery of a voice packet leaves one line in the log file.
bool finish(const options& o, std::vector<relay_run>& runs) {
  bool ok = true;
  for (relay_run& r : runs) {
    const std::string& name = r.process->setup().name;
    if (r.process->setup().reference) continue;
    const long rss_end = r.process->rss_kib();
    std::printf("rss N=%d %-10s empty=%ldKiB registered=%ldKiB end=%ldKiB growth=%ldKiB\n", o.nodes,
                name.c_str(), r.rss_empty, r.rss_registered, rss_end, rss_end - r.rss_empty);
    const long lines = r.process->stop_and_count_log_lines();
    if (lines >= 0 && static_cast<std::uint64_t>(lines) != r.voice_relayed) {
      std::printf("log N=%d %s: %ld lines, expected %llu\n", o.nodes, name.c_str(), lines,
                  static_cast<unsigned long long>(r.voice_relayed));
      ok = false;
    }
  }
  return ok;
}

}  // namespace
}  // namespace mirx::bench

int main(int argc, char** argv) {
  using namespace mirx::bench;
  options o;
  if (!read_options(argc, argv, o)) {
    std::fputs(
        "usage: mirx_load --nodes N [--streams 1,5] [--pps 50] [--seconds 1] [--rounds 4]\n"
        "       [--max-rate] [--trial-seconds 1] [--relays reference,server,...]\n"
        "       [--server PATH] [--reference PATH] [--baseline PATH] [--ctl-config FILE]\n",
        stderr);
    return 2;
  }
  std::string why;
  auto farm = node_farm::bind(o.nodes, &why);
  if (!farm) {
    std::fprintf(stderr, "cannot bind the nodes: %s\n", why.c_str());
    return 1;
  }
  std::vector<relay_run> runs;
  bool ok = start_relays(o, *farm, runs);
  if (ok) ok = paced_runs(o, *farm, runs);
  if (ok && o.max_rate) max_rate_runs(o, *farm, runs);
  ok = finish(o, runs) && ok;
  return ok ? 0 : 1;
}
