// The cost of the server's own code per delivery, apart from the kernel's:
// the receive loop's dispatch, the relay walk and the log-file line, with a
// sender that only counts. /dev/null stands in for the log file and the
// console, so writing them costs what stdio costs and one cheap system call
// per full buffer.

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "controls/gate.h"
#include "node/conference.h"
#include "node/relay.h"
#include "node/stream_log.h"
#include "platform/ipv4.h"
#include "server/dispatch.h"

namespace {

using namespace mirx;

class counting_link final : public node_link {
 public:
  std::size_t sends = 0;
  int send_to_node(const std::uint8_t*, std::size_t, std::uint32_t) override {
    ++sends;
    return 0;
  }
  void send_to_log_server(const std::uint8_t*, std::size_t) override {}
  void wait_ms(int) override {}
};

struct null_file {
  std::FILE* f = std::fopen("/dev/null", "w");
  ~null_file() { std::fclose(f); }
};

enum variant { plain = 0, log_file = 1, info = 2 };

// A conference of `nodes` entries at 127.0.1.1, 127.0.1.2, ...
struct bench_conference {
  null_file console, log;
  output out;
  counting_link net;
  conference conf{out, net, {}, {}, {}};

  bench_conference(int nodes, int v) {
    out.console = console.f;
    out.log = v != plain ? log.f : nullptr;
    out.info = v == info;
    for (int i = 0; i < nodes; ++i) {
      char call[16];
      std::snprintf(call, sizeof call, "N%04d", i);
      const auto ip = address_of(127, 0, static_cast<std::uint8_t>(1 + i / 250),
                                 static_cast<std::uint8_t>(1 + i % 250));
      conf.table.append({callsign_of(call), callsign_of("BENCH"), ip});
    }
  }
  std::uint32_t speaker() const { return conf.table.entries().front().ip; }
};

std::array<std::uint8_t, 56> datagram(std::size_t length) {
  std::array<std::uint8_t, 56> d{};
  std::memcpy(d.data(), "DSVT", 4);
  d[8] = length == 56 ? 0x10 : 0x20;
  std::memcpy(d.data() + 42, "SPEAKER ", 8);
  return d;
}

// One voice datagram through the dispatch, as the receive loop hands it on.
void voice(benchmark::State& state) {
  const int nodes = static_cast<int>(state.range(0));
  bench_conference b(nodes, static_cast<int>(state.range(1)));
  const auto d = datagram(27);
  for (auto _ : state) dispatch(b.conf, nullptr, d.data(), 27, b.speaker());
  state.SetItemsProcessed(static_cast<std::int64_t>(b.net.sends));
  state.SetLabel("items = deliveries");
}

void header(benchmark::State& state) {
  const int nodes = static_cast<int>(state.range(0));
  bench_conference b(nodes, static_cast<int>(state.range(1)));
  const auto d = datagram(56);
  for (auto _ : state) dispatch(b.conf, nullptr, d.data(), 56, b.speaker());
  state.SetItemsProcessed(static_cast<std::int64_t>(b.net.sends));
  state.SetLabel("items = sends, acknowledgement included");
}

// The check the receive loop makes before the dispatch when
// RelayUnregistered=OFF and an access file of 1,000 rules are in force: one
// binary search among the denied ranges and one hash lookup of the sender's
// address, whatever the table's size. Items are datagrams.
void screen(benchmark::State& state) {
  bench_conference b(static_cast<int>(state.range(0)), plain);
  std::string rules = "allow 127.0.0.0/8\n";
  for (int i = 1; i <= 600; ++i)
    rules += "deny 10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".0/24\n";
  for (int i = 1; i <= 399; ++i) rules += "deny X" + std::to_string(i) + "Y*\n";
  node_gate g;
  g.screening = g.access_list = true;
  g.relay_unregistered = false;
  g.rules = *parse_access_rules(rules).rules;
  const auto d = datagram(27);
  std::int64_t passed = 0;
  for (auto _ : state) passed += screen_datagram(g, b.conf, d.data(), 27, b.speaker());
  state.SetItemsProcessed(passed);
  state.SetLabel("items = datagrams");
}

// What LogStreams=ON adds to each voice datagram: the clock read and one
// lookup among `N` streams in progress (1024 fill the table). Items are
// datagrams; compare with a voice datagram's whole relay above.
void stream_voice(benchmark::State& state) {
  counting_link net;
  stream_log streams;
  streams.start(net, 30, 0, 0);
  const auto count = static_cast<std::uint32_t>(state.range(0));
  for (std::uint32_t i = 0; i < count; ++i)
    streams.header_relayed(
        address_of(127, 0, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)),
        record::make(record::tag_acc), 0);
  const auto d = datagram(27);
  const std::uint32_t speaker = address_of(127, 0, 1, 7);
  for (auto _ : state) streams.voice_relayed(speaker, d.data(), platform::monotonic_ms());
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("items = datagrams");
}

BENCHMARK(stream_voice)->Arg(1)->Arg(1024)->ArgName("N");
BENCHMARK(voice)->ArgsProduct({{10, 100, 500}, {plain, log_file, info}})->ArgNames({"N", "out"});
BENCHMARK(screen)->Arg(100)->Arg(1000)->ArgName("N");
BENCHMARK(header)->ArgsProduct({{100}, {plain, info}})->ArgNames({"N", "out"});

}  // namespace

BENCHMARK_MAIN();
