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

// mirx_logrx, whose lines can be awaited as they come.
struct log_receiver {
  server_process p;
  std::uint16_t port = 0;

  log_receiver() {
    p.start_program(MIRX_LOGRX_PATH, {"--bind", "127.0.0.1", "--port", "0", "--timeout", "120"});
    const std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)\n");
    std::smatch m;
    std::string err;
    for (int i = 0; i < 500 && !std::regex_search(err = p.err(), m, listening); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!m.empty()) port = static_cast<std::uint16_t>(std::stoi(m[1]));
  }
  // The lines with `tag`, the stamp cut off; waits until there are `n`.
  std::vector<std::string> lines(const std::string& tag, std::size_t n, int timeout_ms = 5000) {
    std::vector<std::string> found;
    const auto until = clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
      found.clear();
      std::istringstream text(p.out());
      for (std::string l; std::getline(text, l);)
        if (l.size() > 25 && l.compare(25, tag.size(), tag) == 0) found.push_back(l.substr(25));
      if (found.size() >= n) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (clock::now() < until);
    return found;
  }
};

double seconds_in(const std::string& line) {
  std::smatch m;
  if (!std::regex_search(line, m, std::regex(" ([0-9]+\\.[0-9]) s "))) return -1;
  return std::stod(m[1]);
}

TEST(StreamRecords, DurationsEndsHeartbeatsStartAndStop) {
  log_receiver rx;
  ASSERT_NE(rx.port, 0) << rx.p.err();
  conference_fixture f(1);
  f.server.write_file("state", "mirx-server node table 1\n\"KEPT\" \"GW\" 127.0.0.9\nend 1\n");
  // Ready once RUN arrived: it is sent once the sockets are bound.
  f.server.write_file("mirx_server.cfg",
                      f.config() + "LogServer=127.0.0.1;\nLogPort=" + std::to_string(rx.port) +
                          ";\nLogStreams=ON;\nLogHeartbeat=1;\nStateFile=state;\n");
  f.server.start({});
  // The server's table started empty, then the restored entry came back.
  const auto first = rx.lines("", 2);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0], "RUN nodes=0 up=0 s streams=0 heartbeat=1 s silence=2000 ms");
  EXPECT_EQ(first[1], "ADD call1=\"KEPT\" call2=\"GW\" ip=127.0.0.9");

  // Two nodes at once, 50 and 100 frames: 1.0 s and 2.0 s from header to
  // the last frame, which carries the end mark.
  std::vector<std::unique_ptr<server_process>> tx;
  for (int i : {1, 2}) {
    tx.push_back(std::make_unique<server_process>());
    tx.back()->start_program(
        MIRX_NODE_PATH,
        {"transmit", "--server", "127.0.0.1", "--bind", "127.0.0.1" + std::to_string(i),
         "--in-port", std::to_string(f.in_port), "--out-port", std::to_string(f.out_port),
         "--my-call", "TALKER" + std::to_string(i), "--call1", "NODE" + std::to_string(i),
         "--frames", std::to_string(50 * i)});
  }
  for (auto& t : tx) EXPECT_GE(t->wait_exit(15000), 0) << t->err();
  const auto ends = rx.lines("END", 2);
  ASSERT_EQ(ends.size(), 2u);
  for (int i : {1, 2}) {
    const std::string who = "END call1=\"NODE" + std::to_string(i) + " *\" call2=\"MIRXNODE\" ";
    const auto line = ends[ends[0].find("NODE" + std::to_string(i)) == std::string::npos];
    EXPECT_TRUE(std::regex_search(
        line, std::regex(who + "my_call=\"TALKER" + std::to_string(i) + " *\" [0-9.]+ s mark$")))
        << line;
    EXPECT_NEAR(seconds_in(line), i, 0.1) << line;
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
  const auto lost = rx.lines("END", 3);
  ASSERT_EQ(lost.size(), 3u);
  EXPECT_GE(clock::now() - last_sent, std::chrono::milliseconds(2000));
  EXPECT_TRUE(std::regex_search(lost[2], std::regex("my_call=\"LOST *\" [0-9.]+ s silence$")))
      << lost[2];
  EXPECT_NEAR(seconds_in(lost[2]), 0.5, 0.1) << lost[2];

  // A heartbeat each second since RUN: the k-th says about k seconds up.
  const auto beats = rx.lines("HBT", 4);
  ASSERT_GE(beats.size(), 4u);
  for (std::size_t k = 1; k <= beats.size(); ++k) {
    std::smatch m;
    ASSERT_TRUE(std::regex_search(beats[k - 1], m, std::regex("^HBT nodes=[0-9]+ up=([0-9]+) s")))
        << beats[k - 1];
    EXPECT_LE(std::abs(std::stol(m[1]) - static_cast<long>(k)), 1) << beats[k - 1];
  }

  f.server.signal(SIGINT);
  const auto off = rx.lines("OFF", 1);
  ASSERT_EQ(off.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      off[0], std::regex("OFF nodes=1 up=[0-9]+ s streams=0 heartbeat=1 s silence=2000 ms")))
      << off[0];
}

}  // namespace
}  // namespace mirx::e2e
