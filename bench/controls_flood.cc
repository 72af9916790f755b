// Figures for the operator controls, against the real server:
//
//  1. Amplification: a forged source (an address with no table entry) sends
//     headers; how many bytes go back towards it per byte
//     it sent, with the relay open (RelayUnregistered=ON, the default) and
//     closed (RelayUnregistered=OFF).
//  2. Registration flood: --registrations requests with distinct call signs
//     from --senders addresses against MaxNodes=--max-nodes: the table's size,
//     the server's resident size as the flood goes on, and how many lines the
//     refusals cost (console and log file carry the same lines).
//
//   mirx_controls_flood [--registrations 1000000] [--max-nodes 1000] [--senders 250]
//                       [--rate 100000]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/relay_process.h"
#include "nodelib/packets.h"
#include "nodelib/udp_endpoint.h"

namespace mirx::bench {
namespace {

struct options {
  long registrations = 1000000;
  int max_nodes = 1000;
  int senders = 250;
  double rate = 100000;  // requests a second
};

bool read_options(int argc, char** argv, options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* v = argv[i + 1];
    if (name == "--registrations")
      o.registrations = std::atol(v);
    else if (name == "--max-nodes")
      o.max_nodes = std::atoi(v);
    else if (name == "--senders")
      o.senders = std::atoi(v);
    else if (name == "--rate")
      o.rate = std::atof(v);
    else
      return false;
  }
  return argc % 2 == 1 && o.registrations > 0 && o.max_nodes > 0 && o.senders > 0 &&
         o.senders <= 250 && o.rate > 0;
}

nodes::udp_endpoint bind_at(const std::string& address, std::uint16_t port) {
  std::string why;
  auto e = nodes::udp_endpoint::bind(address, port, &why);
  if (!e) {
    std::fprintf(stderr, "cannot bind %s: %s\n", address.c_str(), why.c_str());
    std::exit(1);
  }
  return std::move(*e);
}

void wait_bound(const relay_process& server) {
  for (int i = 0; i < 500 && !server.in_socket().bound; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

std::size_t drained_bytes(const nodes::udp_endpoint& e) {
  std::size_t n = 0;
  for (const auto& d : e.drain(300)) n += d.bytes.size();
  return n;
}

// Two registered nodes and a forged source at the nodes' OutPort, so that
// whatever the server sends towards the forged address is counted.
void amplification(const relay_binaries& bin, bool relay_open) {
  const std::uint32_t server_ip = *mirx::parse_ipv4("127.0.0.1");
  nodes::udp_endpoint a = bind_at("127.0.5.1", 0);
  nodes::udp_endpoint b = bind_at("127.0.5.2", a.port());
  nodes::udp_endpoint forged = bind_at("127.0.5.9", a.port());
  relay_setup setup;
  setup.name = "server";
  if (!relay_open) setup.extra_config = "RelayUnregistered=OFF;\n";
  relay_process server(setup, bin, a.port());
  wait_bound(server);
  a.send_to(nodes::make_registration("NODEA", "GW").data(), reg::size, server_ip, server.in_port());
  b.send_to(nodes::make_registration("NODEB", "GW").data(), reg::size, server_ip, server.in_port());
  drained_bytes(a);
  drained_bytes(b);
  std::size_t sent = 0;
  nodes::header_fields h;
  h.my_call = "FORGED";
  // Headers alone: each is answered with a twelve-datagram acknowledgement,
  // which is what makes a forged source worth attacking through.
  for (int i = 0; i < 200; ++i) {
    const auto header = nodes::make_header(h);
    forged.send_to(header.data(), header.size(), server_ip, server.in_port());
    sent += header.size();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const std::size_t back = drained_bytes(forged);
  const std::size_t relayed = drained_bytes(a) + drained_bytes(b);
  std::printf(
      "amplification RelayUnregistered=%s: sent=%zu bytes, towards the forged source=%zu bytes "
      "(%.3f per byte sent), relayed to the 2 nodes=%zu bytes\n",
      relay_open ? "ON " : "OFF", sent, back, static_cast<double>(back) / static_cast<double>(sent),
      relayed);
}

// A call sign of 8 characters for request `i`: "F" and 7 base-36 digits.
std::string call_of(long i) {
  std::string c = "F0000000";
  for (int k = 7; k > 0 && i > 0; --k, i /= 36)
    c[static_cast<std::size_t>(k)] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[i % 36];
  return c;
}

void flood(const relay_binaries& bin, const options& o) {
  const std::uint32_t server_ip = *mirx::parse_ipv4("127.0.0.1");
  std::vector<nodes::udp_endpoint> senders;
  for (int i = 0; i < o.senders; ++i)
    senders.push_back(bind_at("127.0.6." + std::to_string(1 + i), 0));
  relay_setup setup;
  setup.name = "server-log";
  setup.log_file = true;
  setup.extra_config = "MaxNodes=" + std::to_string(o.max_nodes) + ";\n";
  relay_process server(setup, bin, free_udp_port());
  wait_bound(server);
  std::printf("flood: %ld registrations, MaxNodes=%d, %d sender addresses, %.0f/s\n",
              o.registrations, o.max_nodes, o.senders, o.rate);
  std::printf("flood rss: start=%ldKiB\n", server.rss_kib());
  const auto start = std::chrono::steady_clock::now();
  const long step = o.registrations / 10 > 0 ? o.registrations / 10 : 1;
  for (long i = 0; i < o.registrations; ++i) {
    const auto r = nodes::make_registration(call_of(i), "GW");
    senders[static_cast<std::size_t>(i % o.senders)].send_to(r.data(), r.size(), server_ip,
                                                             server.in_port());
    if (i % 1000 == 999) {  // paced in bursts of a thousand
      const auto due = start + std::chrono::duration<double>(static_cast<double>(i + 1) / o.rate);
      std::this_thread::sleep_until(due);
    }
    if ((i + 1) % step == 0) std::printf("flood rss: after %ld=%ldKiB\n", i + 1, server.rss_kib());
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // the last summary line
  const std::uint64_t drops = server.in_socket().drops;
  const std::string dir = server.dir();
  server.stop_and_count_log_lines();
  long added = 0, refused = 0, summaries = 0, lines = 0;
  unsigned long long counted = 0;
  std::ifstream log(dir + "/MirxServerLog");
  for (std::string line; std::getline(log, line);) {
    ++lines;
    if (line.find(" Node IP address added ") != std::string::npos) ++added;
    if (line.find(" Registration refused ") != std::string::npos) ++refused;
    const std::size_t s = line.find(" more refused or dropped, ");
    if (s != std::string::npos) {
      ++summaries;
      counted =
          std::strtoull(line.c_str() + s + std::strlen(" more refused or dropped, "), nullptr, 10);
    }
  }
  std::printf(
      "flood result: %.1f s, table entries added=%ld (limit %d), refusal lines=%ld, summary "
      "lines=%ld, refusals counted=%llu of %ld sent beyond the limit, receive-queue drops=%llu, "
      "log-file lines in all=%ld\n",
      seconds, added, o.max_nodes, refused, summaries, counted, o.registrations - o.max_nodes,
      static_cast<unsigned long long>(drops), lines);
}

}  // namespace
}  // namespace mirx::bench

int main(int argc, char** argv) {
  using namespace mirx::bench;
  options o;
  if (!read_options(argc, argv, o)) {
    std::fputs(
        "usage: mirx_controls_flood [--registrations 1000000] [--max-nodes 1000] "
        "[--senders 250] [--rate 100000]\n",
        stderr);
    return 2;
  }
  const relay_binaries bin{MIRX_SERVER_PATH, "", ""};
  amplification(bin, true);
  amplification(bin, false);
  flood(bin, o);
  return 0;
}
