// mirx_dashboard_bench: the dashboard under a flood of records with many
// pages watching. Starts mirx_dashboard on free loopback ports, connects
// --clients event streams, sends --rate ACC records a second for --seconds
// seconds, and reports records lost (at the dashboard and on the streams),
// the time from sending a record to its event arriving on a stream, and
// the dashboard's CPU time and resident size.
//
//   mirx_dashboard_bench [--seconds 60] [--rate 10000] [--clients 50] [--dashboard PATH]

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

struct settings {
  int seconds = 60;
  int rate = 10000;
  int clients = 50;
  std::string dashboard = MIRX_DASHBOARD_PATH;
};

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now().time_since_epoch())
      .count();
}

// A port the kernel has just handed out for `type`, free again when returned.
int free_port(int type) {
  const int fd = ::socket(AF_INET, type, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

pid_t start_dashboard(const settings& s, int udp_port, int http_port) {
  const std::string listen = "127.0.0.1:" + std::to_string(udp_port);
  const std::string http = "127.0.0.1:" + std::to_string(http_port);
  const std::string streams = std::to_string(s.clients + 4);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int quiet = ::open("/dev/null", O_WRONLY);
    ::dup2(quiet, 1);
    ::dup2(quiet, 2);
    // Every client comes from 127.0.0.1: the caps per address are the totals.
    ::execl(s.dashboard.c_str(), s.dashboard.c_str(), "--listen", listen.c_str(), "--http",
            http.c_str(), "--max-streams", streams.c_str(), "--max-streams-per-address",
            streams.c_str(), "--max-connections-per-address", streams.c_str(),
            static_cast<char*>(nullptr));
    std::perror("exec");
    ::_exit(127);
  }
  return pid;
}

// utime + stime in clock ticks, and VmRSS and VmHWM in kB.
struct usage {
  long ticks = 0, rss_kb = 0, peak_kb = 0;
};

usage usage_of(pid_t pid) {
  usage u;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  std::istringstream after(text.substr(text.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 15 && after >> field; ++i)
    if (i == 14 || i == 15) u.ticks += std::stol(field);
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) u.rss_kb = std::stol(line.substr(6));
    if (line.rfind("VmHWM:", 0) == 0) u.peak_kb = std::stol(line.substr(6));
  }
  return u;
}

// A connection to the dashboard with `path` asked for; -1 when refused.
int request(int http_port, const char* path) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<std::uint16_t>(http_port));
  const std::string ask = std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
      ::send(fd, ask.data(), ask.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ask.size())) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Hands what arrives on `fd` to `take` until the dashboard closes it.
template <class consumer>
void read_all(int fd, consumer take) {
  char block[65536];
  for (ssize_t n; (n = ::recv(fd, block, sizeof block, 0)) > 0;)
    take(block, static_cast<std::size_t>(n));
  ::close(fd);
}

// The value of one metric line of /metrics, or -1.
double metric(int http_port, const std::string& name) {
  const int fd = request(http_port, "/metrics");
  if (fd < 0) return -1;
  std::string body;
  read_all(fd, [&](const char* data, std::size_t n) { body.append(data, n); });
  const std::size_t at = body.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::stod(body.substr(at + name.size() + 2));
}

// Latency buckets of 100 us, up to 10 s.
constexpr std::size_t buckets = 100000;
constexpr std::int64_t bucket_ns = 100000;

// One event stream: marks each record it sees and files its latency.
struct stream_client {
  std::vector<std::uint8_t> seen;
  std::vector<std::uint32_t> latency;
  std::atomic<std::size_t> count{0};
  std::thread thread;
};

void follow(stream_client& c, int http_port,
            const std::vector<std::atomic<std::int64_t>>& sent_at) {
  const int fd = request(http_port, "/events");
  if (fd < 0) return;
  timeval wait{30, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  std::string pending;
  const std::string mark = "\"my_call\":\"B";
  read_all(fd, [&](const char* data, std::size_t length) {
    const std::int64_t arrived = now_ns();
    pending.append(data, length);
    std::size_t at = 0;
    while ((at = pending.find(mark, at)) != std::string::npos &&
           at + mark.size() + 7 <= pending.size()) {
      const std::size_t i = std::stoul(pending.substr(at + mark.size(), 7));
      at += mark.size() + 7;
      if (i >= c.seen.size() || c.seen[i]) continue;
      c.seen[i] = 1;
      ++c.count;
      const std::int64_t waited = (arrived - sent_at[i].load()) / bucket_ns;
      ++c.latency[static_cast<std::size_t>(std::min<std::int64_t>(waited, buckets - 1))];
    }
    pending.erase(0, std::min(pending.size(), pending.rfind('\n') + 1));
  });
}

// Sends `total` ACC records at `rate` a second; my_call carries the number.
void send_records(int udp_port, int rate, std::size_t total,
                  std::vector<std::atomic<std::int64_t>>& sent_at) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<std::uint16_t>(udp_port));
  char record[32] = "ACC ";
  std::memcpy(record + 8, "N0BENCH", 7);
  std::memcpy(record + 16, "GATEWAY", 7);
  const std::int64_t start = now_ns(), step = 1000000000LL / rate;
  for (std::size_t i = 0; i < total; ++i) {
    const std::int64_t due = start + static_cast<std::int64_t>(i) * step;
    if (const std::int64_t early = due - now_ns(); early > 200000)
      std::this_thread::sleep_for(std::chrono::nanoseconds(early));
    char call[32];
    std::snprintf(call, sizeof call, "B%07zu", i);
    std::memcpy(record + 24, call, 8);
    sent_at[i] = now_ns();
    ::sendto(fd, record, sizeof record, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  ::close(fd);
}

double percentile(const std::vector<std::uint64_t>& histogram, double p) {
  std::uint64_t total = 0;
  for (auto n : histogram) total += n;
  std::uint64_t wanted = static_cast<std::uint64_t>(p * static_cast<double>(total)), run = 0;
  for (std::size_t b = 0; b < histogram.size(); ++b)
    if ((run += histogram[b]) > wanted) return static_cast<double>(b + 1) * bucket_ns / 1e6;
  return static_cast<double>(buckets) * bucket_ns / 1e6;
}

settings read_settings(int argc, char** argv) {
  settings s;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    if (name == "--seconds")
      s.seconds = std::stoi(value);
    else if (name == "--rate")
      s.rate = std::stoi(value);
    else if (name == "--clients")
      s.clients = std::stoi(value);
    else if (name == "--dashboard")
      s.dashboard = value;
  }
  if (s.seconds < 1 || s.seconds > 3600 || s.rate < 1 || s.rate > 1000000 || s.clients < 0 ||
      s.clients > 500 || static_cast<long>(s.seconds) * s.rate > 9999999) {
    std::fprintf(stderr,
                 "usage: %s [--seconds 1..3600] [--rate R] [--clients 0..500] [--dashboard PATH]\n",
                 argv[0]);
    std::exit(2);
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const settings s = read_settings(argc, argv);
  const int udp_port = free_port(SOCK_DGRAM), http_port = free_port(SOCK_STREAM);
  const pid_t dashboard = start_dashboard(s, udp_port, http_port);
  const int probe = http_port;
  for (int i = 0; i < 100 && metric(probe, "mirx_dashboard_event_streams") < 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

  const std::size_t total = static_cast<std::size_t>(s.seconds) * static_cast<std::size_t>(s.rate);
  std::vector<std::atomic<std::int64_t>> sent_at(total);
  std::vector<std::unique_ptr<stream_client>> clients;
  for (int i = 0; i < s.clients; ++i) {
    auto c = std::make_unique<stream_client>();
    c->seen.assign(total, 0);
    c->latency.assign(buckets, 0);
    c->thread = std::thread(follow, std::ref(*c), http_port, std::cref(sent_at));
    clients.push_back(std::move(c));
  }
  for (int i = 0; i < 200 && metric(probe, "mirx_dashboard_event_streams") < s.clients; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

  const usage before = usage_of(dashboard);
  const auto started = clock_type::now();
  send_records(udp_port, s.rate, total, sent_at);
  const double sending = std::chrono::duration<double>(clock_type::now() - started).count();
  // Let the streams catch up: until every client has everything, or 2 s
  // pass without progress, 20 s at most.
  std::size_t last_progress = 0;
  auto quiet_since = clock_type::now();
  for (int i = 0; i < 400; ++i) {
    std::size_t seen = 0;
    for (auto& c : clients) seen += c->count;
    if (seen == total * clients.size()) break;
    if (seen != last_progress) last_progress = seen, quiet_since = clock_type::now();
    if (clock_type::now() - quiet_since > std::chrono::seconds(2)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const double received = metric(probe, "mirx_dashboard_headers_relayed_total");
  const usage after = usage_of(dashboard);
  const double busy = std::chrono::duration<double>(clock_type::now() - started).count();
  ::kill(dashboard, SIGTERM);
  ::waitpid(dashboard, nullptr, 0);
  for (auto& c : clients) c->thread.join();

  std::vector<std::uint64_t> histogram(buckets, 0);
  std::size_t events = 0;
  for (auto& c : clients) {
    events += c->count;
    for (std::size_t b = 0; b < buckets; ++b) histogram[b] += c->latency[b];
  }
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  std::printf("records sent        %zu in %.1f s (%.0f/s)\n", total, sending, total / sending);
  std::printf("records lost        %.0f at the dashboard (received %.0f)\n", total - received,
              received);
  std::printf("events lost         %zu of %zu on %d streams\n", total * clients.size() - events,
              total * clients.size(), s.clients);
  std::printf("record to event     p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
              percentile(histogram, 0.5), percentile(histogram, 0.99),
              percentile(histogram, 1.0 - 1e-12));
  std::printf("dashboard CPU       %.0f%% of one core over %.1f s of sending and catching up\n",
              100.0 * static_cast<double>(after.ticks - before.ticks) / ticks / busy, busy);
  std::printf("dashboard memory    RSS %ld kB at the end, peak %ld kB\n", after.rss_kb,
              after.peak_kb);
  return 0;
}
