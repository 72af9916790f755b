// With LogStreams=ON: the stream, start, heartbeat and stop records of the
// real server, as mirx_logrx shows them, for streams sent by mirx_node and by
// a node whose last packet is lost.

#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "e2e/server_process.h"
#include "nodelib/packets.h"

namespace mirx::e2e {
namespace {

using clock = std::chrono::steady_clock;
using std::to_string;

// mirx_logrx's lines with `tag`, the stamp cut off, once there are `n` (at
// most 5 s later).
std::vector<std::string> lines(server_process& rx, const std::string& tag, std::size_t n) {
  std::vector<std::string> found;
  for (int i = 0; i < 1000 && found.size() < n; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    found.clear();
    std::istringstream text(rx.out());
    for (std::string l; std::getline(text, l);)
      if (l.size() > 25 && l.compare(25, tag.size(), tag) == 0) found.push_back(l.substr(25));
  }
  return found;
}

// The END line's duration in seconds when the rest is `who` and `how`; else -1.
double seconds_if(const std::string& line, const std::string& who, const std::string& how) {
  std::smatch m;
  if (!std::regex_match(line, m, std::regex(who + " ([0-9]+\\.[0-9]) s " + how))) return -1;
  return std::stod(m[1]);
}

TEST(StreamRecords, DurationsEndsHeartbeatsStartAndStop) {
  server_process rx;
  const std::string log_port = to_string(free_udp_port());
  rx.start_program(MIRX_LOGRX_PATH,
                   {"--bind", "127.0.0.1", "--port", log_port, "--timeout", "120"});
  ASSERT_TRUE(rx.wait_for("listening", 5000, true)) << rx.err();
  conference_fixture f(1);
  f.server.write_file("state", "mirx-server node table 1\n\"KEPT\" \"GW\" 127.0.0.9\nend 1\n");
  f.server.write_file("mirx_server.cfg",
                      f.config() + "LogServer=127.0.0.1;\nLogPort=" + log_port +
                          ";\nLogStreams=ON;\nLogHeartbeat=1;\nStateFile=state;\n");
  f.server.start({});
  // The table started empty, then the restored entry came back.
  EXPECT_EQ(lines(rx, "", 2),
            (std::vector<std::string>{"RUN nodes=0 up=0 s streams=0 heartbeat=1 s silence=2000 ms",
                                      "ADD call1=\"KEPT\" call2=\"GW\" ip=127.0.0.9"}));

  // Two nodes at once: 50 and 100 frames, 1.0 and 2.0 s from the header to
  // the last frame, which carries the end mark.
  std::vector<std::unique_ptr<server_process>> tx;
  for (int i : {1, 2}) {
    tx.push_back(std::make_unique<server_process>());
    tx.back()->start_program(
        MIRX_NODE_PATH,
        {"transmit", "--server", "127.0.0.1", "--bind", "127.0.0.1" + to_string(i), "--in-port",
         to_string(f.in_port), "--out-port", to_string(f.out_port), "--my-call",
         "TALKER" + to_string(i), "--call1", "NODE" + to_string(i), "--frames", to_string(50 * i)});
  }
  for (auto& t : tx) t->wait_exit(15000);
  auto ends = lines(rx, "END", 2);
  ASSERT_EQ(ends.size(), 2u);
  std::sort(ends.begin(), ends.end());
  for (int i : {1, 2}) {
    const std::string who = "END call1=\"NODE" + to_string(i) + " *\" call2=\"MIRXNODE\" my_call=";
    EXPECT_NEAR(seconds_if(ends[i - 1], who + "\"TALKER" + to_string(i) + " *\"", "mark"), i, 0.1)
        << ends[i - 1];
  }

  // 25 frames (0.5 s) and no end mark: the stream ends after the silence.
  nodes::header_fields h;
  h.my_call = "LOST";
  f.send(0, nodes::make_header(h));
  const auto start = clock::now();
  for (std::uint16_t i = 1; i <= 25; ++i) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * i));
    f.send(0, nodes::make_voice(i % 21, {0x66, 0x66, 0x66}));
  }
  const auto last_sent = clock::now();
  ends = lines(rx, "END", 3);
  EXPECT_GE(clock::now() - last_sent, std::chrono::milliseconds(2000));
  ASSERT_EQ(ends.size(), 3u);
  EXPECT_NEAR(seconds_if(ends[2], "END call1=\"\" call2=\"\" my_call=\"LOST *\"", "silence"), 0.5,
              0.1)
      << ends[2];

  // A heartbeat each second since RUN: the k-th says about k seconds up.
  const auto beats = lines(rx, "HBT", 4);
  for (std::size_t k = 1; k <= beats.size(); ++k)
    EXPECT_NEAR(std::stoi(beats[k - 1].substr(beats[k - 1].find("up=") + 3)), k, 1) << beats[k - 1];
  EXPECT_GE(beats.size(), 4u);
  f.server.signal(SIGINT);
  const auto off = lines(rx, "OFF", 1);
  ASSERT_EQ(off.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      off[0], std::regex("OFF nodes=1 up=[0-9]+ s streams=0 heartbeat=1 s silence=2000 ms")))
      << off[0];
}

}  // namespace
}  // namespace mirx::e2e
