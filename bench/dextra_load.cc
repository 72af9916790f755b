// The relay's cost per delivery to DExtra clients, against the batched
// reference relay (one sendmmsg per fan-out) delivering the same stream to
// as many nodes. One speaker (a registered node) talks; N receivers are, for
// the server, DExtra clients linked to its door and, for the reference,
// nodes. Rounds alternate between the two; the summary line gives each
// one's CPU time per delivery and their ratio.
//
//   mirx_dextra_load [--clients N] [--rounds R] [--seconds S] [--pps P]

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dextra/dsvt.h"
#include "driver/phase.h"
#include "nodelib/packets.h"

namespace {

using namespace mirx;
using namespace mirx::bench;

constexpr std::uint32_t loopback = 0x0100007f;

// Registers node 0 and links nodes 1.. to the door; false when the server
// does not answer.
bool join_server(const node_farm& farm, const relay_process& relay, std::uint16_t door_port) {
  const auto request = nodes::make_registration("N0000", "BENCH");
  bool answered = false;
  for (int t = 0; t < 50 && !answered; ++t) {
    farm.node(0).send_to(request.data(), request.size(), loopback, relay.in_port());
    for (auto d = farm.node(0).receive(100); d; d = farm.node(0).receive(10))
      if (d->bytes.size() == 16 && d->bytes[0] == 'S') answered = true;
  }
  for (int i = 1; i < farm.size() && answered; ++i) {
    char call[16];
    std::snprintf(call, sizeof call, "DL%04d", i);
    std::uint8_t link[dextra::ctl::request_size];
    dextra::make_request(link, call, 'D', 'B');
    answered = false;
    for (int t = 0; t < 3 && !answered; ++t) {
      farm.node(i).send_to(link, sizeof link, loopback, door_port);
      for (auto d = farm.node(i).receive(1000); d; d = farm.node(i).receive(10))
        if (dextra::kind_of(d->bytes.data(), d->bytes.size()) == dextra::kind::answer_ack)
          answered = true;
    }
  }
  return answered;
}

struct totals {
  std::int64_t cpu_ns = 0;
  std::uint64_t delivered = 0;
  std::uint64_t expected = 0;
  double per_delivery_us() const {
    return delivered == 0 ? 0 : static_cast<double>(cpu_ns) / 1000.0 / delivered;
  }
};

}  // namespace

int main(int argc, char** argv) {
  int clients = 100, rounds = 4;
  load l{1, 50, 2};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string o = argv[i];
    if (o == "--clients") clients = std::atoi(argv[i + 1]);
    if (o == "--rounds") rounds = std::atoi(argv[i + 1]);
    if (o == "--seconds") l.seconds = std::atof(argv[i + 1]);
    if (o == "--pps") l.total_pps = std::atof(argv[i + 1]);
  }
  std::string why;
  auto farm = node_farm::bind(clients + 1, &why);
  if (!farm) return std::fprintf(stderr, "%s\n", why.c_str()), 2;
  const relay_binaries bin{MIRX_SERVER_PATH, MIRX_REFERENCE_PATH, ""};
  totals server, reference;
  for (int r = 0; r < rounds; ++r) {
    {
      const std::uint16_t door = free_udp_port();
      relay_setup s;
      s.name = "server-dextra";
      s.extra_config = "DExtraPort=" + std::to_string(door) + ";\nDExtraCall=XRF999;\n";
      relay_process p(s, bin, farm->port());
      if (!join_server(*farm, p, door)) return std::fprintf(stderr, "server did not answer\n"), 1;
      const phase_result got = run_phase(*farm, p, l);
      server.cpu_ns += got.cpu_ns;
      server.delivered += got.got.relayed;
      server.expected += got.expected;
    }
    {
      relay_setup s;
      s.name = "reference-mmsg";
      s.reference = true;
      s.batch = true;
      relay_process p(s, bin, farm->port());
      if (!register_nodes(*farm, p)) return std::fprintf(stderr, "reference did not answer\n"), 1;
      const phase_result got = run_phase(*farm, p, l);
      reference.cpu_ns += got.cpu_ns;
      reference.delivered += got.got.relayed;
      reference.expected += got.expected;
    }
  }
  std::printf(
      "dextra N=%d rounds=%d %.0f pps: server-dextra cpu/dlv=%.3fus (%llu of %llu)  "
      "reference-mmsg cpu/dlv=%.3fus (%llu of %llu)  ratio x%.3f\n",
      clients, rounds, l.total_pps, server.per_delivery_us(),
      static_cast<unsigned long long>(server.delivered),
      static_cast<unsigned long long>(server.expected), reference.per_delivery_us(),
      static_cast<unsigned long long>(reference.delivered),
      static_cast<unsigned long long>(reference.expected),
      reference.per_delivery_us() == 0 ? 0
                                       : server.per_delivery_us() / reference.per_delivery_us());
  return 0;
}
