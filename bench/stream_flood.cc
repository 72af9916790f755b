// Memory of the stream log under a flood of headers: --addresses senders
// (127.0.8.1, 127.0.8.2, ... 250 to a /24) each send one header at about the
// same moment, against the server with LogStreams off and on. Prints the
// server's resident size before and after, the records that came back and the
// streams in progress the heartbeats reported; asserts nothing.
//
//   mirx_stream_flood [--addresses 10000]

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/relay_process.h"
#include "monitor/log_record.h"
#include "nodelib/packets.h"
#include "nodelib/udp_endpoint.h"

namespace mirx::bench {
namespace {

using clock = std::chrono::steady_clock;

// What the log receiver saw: records by tag, and the most streams in
// progress any heartbeat reported.
struct tally {
  std::atomic<long> acc{0}, end{0}, hbt{0}, silence{0};
  std::atomic<std::uint32_t> most_open{0};
  std::atomic<bool> done{false};

  void take(const std::vector<std::uint8_t>& r) {
    if (r.size() != record::size) return;
    const auto tag = [&r](const char* t) { return std::memcmp(r.data(), t, 4) == 0; };
    if (tag(record::tag_acc)) ++acc;
    if (tag(record::tag_end)) ++end;
    if (tag(record::tag_end) && r[record::end_how] == record::end_by_silence) ++silence;
    if (!tag(record::tag_hbt)) return;
    ++hbt;
    most_open = std::max(most_open.load(), record::get_number(r.data(), record::streams_open));
  }
};

// Until the server's receive queue is empty (at most 3 s); after a pause of
// `settle_ms` too.
void wait_drained(const relay_process& server, int settle_ms) {
  for (int i = 0; i < 500 && !server.in_socket().bound; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (int i = 0; i < 300 && server.in_socket().queued_bytes != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(settle_ms));
}

void flood(const std::vector<nodes::udp_endpoint>& senders, bool streams_on) {
  const std::uint32_t server_ip = *mirx::parse_ipv4("127.0.0.1");
  auto rx = *nodes::udp_endpoint::bind("127.0.0.1", 0);
  tally seen;
  std::thread receiver([&] {
    while (!seen.done)
      for (const auto& d : rx.drain(50, 100000, 200)) seen.take(d.bytes);
  });
  relay_setup setup;
  setup.name = streams_on ? "server-streams" : "server";
  setup.extra_config = "LogServer=127.0.0.1;\nLogPort=" + std::to_string(rx.port()) + ";\n" +
                       (streams_on ? "LogStreams=ON;\nLogHeartbeat=1;\n" : "");
  relay_process server(setup, {MIRX_SERVER_PATH, "", ""}, free_udp_port());
  wait_drained(server, 300);
  const long before = server.rss_kib();
  const auto start = clock::now();
  nodes::header_fields h;
  for (std::size_t i = 0; i < senders.size(); ++i) {
    h.my_call = "H" + std::to_string(i);
    const auto header = nodes::make_header(h);
    senders[i].send_to(header.data(), header.size(), server_ip, server.in_port());
    if (i % 2000 == 1999) wait_drained(server, 0);  // the receive queue holds a few thousand
  }
  const double seconds = std::chrono::duration<double>(clock::now() - start).count();
  wait_drained(server, 100);
  const long after = server.rss_kib();
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));  // every stream falls silent
  const long later = server.rss_kib();
  const auto drops = static_cast<unsigned long long>(server.in_socket().drops);
  seen.done = true;
  receiver.join();
  std::printf(
      "%s: %zu header addresses in %.2f s, rss before=%ldKiB after=%ldKiB (+%ld) 3.5 s "
      "later=%ldKiB;"
      " records ACC=%ld END=%ld (silence %ld) HBT=%ld, most streams in progress=%u, "
      "receive-queue drops=%llu\n",
      setup.name.c_str(), senders.size(), seconds, before, after, after - before, later,
      seen.acc.load(), seen.end.load(), seen.silence.load(), seen.hbt.load(), seen.most_open.load(),
      drops);
}

}  // namespace
}  // namespace mirx::bench

int main(int argc, char** argv) {
  using namespace mirx;
  long addresses = 10000;
  if (argc == 3 && std::strcmp(argv[1], "--addresses") == 0) addresses = std::atol(argv[2]);
  if ((argc != 1 && argc != 3) || addresses <= 0 || addresses > 50000) {
    std::fputs("usage: mirx_stream_flood [--addresses 10000]\n", stderr);
    return 2;
  }
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  std::vector<nodes::udp_endpoint> senders;
  for (long i = 0; i < addresses; ++i) {
    const std::string at =
        "127.0." + std::to_string(8 + i / 250) + "." + std::to_string(1 + i % 250);
    auto e = nodes::udp_endpoint::bind(at, 0);
    if (!e) {
      std::fprintf(stderr, "cannot bind %s (open files limit %lu?)\n", at.c_str(),
                   static_cast<unsigned long>(files.rlim_cur));
      return 1;
    }
    senders.push_back(std::move(*e));
  }
  bench::flood(senders, false);
  bench::flood(senders, true);
  return 0;
}
