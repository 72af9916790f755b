// The opt-in conference rules on the real server, driven by mirx_node: one
// talker at a time, the over time limit and the echo test, each as a
// listening node, the transmitter and the log server see it.

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <thread>

#include "e2e/documented.h"
#include "e2e/server_process.h"
#include "monitor/log_record.h"
#include "nodelib/packets.h"

namespace mirx::e2e {
namespace {

using std::to_string;

// A stream as a listener heard it: the header's my_call (trailing spaces
// cut) and the voice packets up to the next header.
using heard = std::vector<std::pair<std::string, int>>;

heard streams_in(const std::vector<bytes>& got) {
  heard h;
  for (const bytes& d : got) {
    if (d.size() == hdr::size) {
      std::string call(d.begin() + hdr::my_call, d.begin() + hdr::my_call + call_size);
      h.emplace_back(call.substr(0, call.find_last_not_of(' ') + 1), 0);
    } else if (d.size() == voice::size && !h.empty()) {
      ++h.back().second;
    }
  }
  return h;
}

// A server with `rules` and a log server, one registered listener (node 0);
// mirx_node talks from 127.0.0.11 and up.
struct rules_fixture {
  conference_fixture f{1};
  std::optional<nodes::udp_endpoint> log_server;

  explicit rules_fixture(const std::string& rules) {
    std::string why;
    log_server = nodes::udp_endpoint::bind("127.0.0.1", 0, &why);
    if (!log_server) throw std::runtime_error(why);
    f.server.write_file("mirx_server.cfg", f.config() + rules +
                                               "LogStreams=ON;\nLogServer=127.0.0.1;\nLogPort=" +
                                               to_string(log_server->port()) + ";\n");
    f.server.start({"-i"});
    if (!record("RUN ")) throw std::runtime_error("server did not start: " + f.server.out());
    register_all(f);
  }

  std::unique_ptr<server_process> transmit(int host, const std::string& my_call, int frames,
                                           std::vector<std::string> more = {}) {
    more.insert(more.begin(),
                {"transmit", "--my-call", my_call, "--frames", to_string(frames), "--server",
                 "127.0.0.1", "--bind", "127.0.0." + to_string(host), "--in-port",
                 to_string(f.in_port), "--out-port", to_string(f.out_port)});
    auto p = std::make_unique<server_process>();
    p->start_program(MIRX_NODE_PATH, more);
    return p;
  }

  // The first record with `tag` (4 characters) within 3 s.
  std::optional<bytes> record(const std::string& tag) {
    for (int i = 0; i < 100; ++i) {
      const auto d = log_server->receive(30);
      if (d && d->bytes.size() == 32 && std::equal(tag.begin(), tag.end(), d->bytes.begin()))
        return to_bytes(d->bytes);
    }
    return std::nullopt;
  }
};

// The conference free again once the stream ended: floor_rules_test.
TEST(ConferenceRules, OneTalkerHoldsTheConferenceUntilItsStreamEnds) {
  rules_fixture r("OneTalker=ON;\n");
  auto first = r.transmit(11, "TALKERA", 100, {"--call1", "NODEA"});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto second = r.transmit(12, "TALKERB", 25, {"--call1", "NODEB"});
  EXPECT_EQ(second->wait_exit(10000), 3) << second->out() << second->err();
  const std::string out = second->out(), refused = out.substr(out.find("refused: "));
  for (const char* doc : {"docs/mirx_node.md", "man/mirx_node.1.scd", "docs/conference-rules.md"})
    EXPECT_TRUE(documented(refused.substr(0, refused.find('\n')), doc)) << doc << ": " << out;
  EXPECT_EQ(first->wait_exit(10000), 0) << first->out();
  EXPECT_EQ(streams_in(received(r.f.nodes[0], 101, 500)), (heard{{"TALKERA", 100}}));
  const auto ref = r.record("REF ");
  ASSERT_TRUE(ref);
  EXPECT_EQ(std::string(ref->begin() + 8, ref->begin() + 32),
            std::string("NODEB   TALKERA TALKERB ", 24));
  EXPECT_NE(
      r.f.stop_and_read_log().find("Refused Header Packet from TALKERB  while TALKERA  talks"),
      std::string::npos);
}

// The next over relayed after a cut: floor_rules_test.
TEST(ConferenceRules, AnOverLongerThanTheLimitIsCutAndEndsTimedOut) {
  rules_fixture r("MaxOverSeconds=2;\n");
  auto talker = r.transmit(11, "TALKERA", 200, {"--call1", "NODEA", "--stay-registered"});
  EXPECT_EQ(talker->wait_exit(15000), 0) << talker->out();
  const heard h = streams_in(received(r.f.nodes[0], 90, 500));
  ASSERT_EQ(h.size(), 1u);
  EXPECT_NEAR(h[0].second, 100, 10);  // 2 s of 20-ms frames
  const auto end = r.record("END ");
  ASSERT_TRUE(end);
  EXPECT_EQ((*end)[record::end_how], record::end_by_timeout);
  EXPECT_NEAR(record::get_number(end->data(), record::duration_ms, 3), 2000, 250);
  EXPECT_NE(r.f.stop_and_read_log().find("Over from TALKERA  timed out after 2 s"),
            std::string::npos);
}

// mirx_node takes a playback only from the echo call to its own call, and
// times it as it arrives. Its order and end mark: floor_rules_test.
TEST(ConferenceRules, AnOverToTheEchoCallComesBackToItsSenderAlone) {
  rules_fixture r("EchoCall=ECHO;\n");
  auto tx = r.transmit(11, "TESTER", 25, {"--your-call", "ECHO", "--call1", "CALLE"});
  EXPECT_EQ(tx->wait_exit(10000), 0) << tx->out() << tx->err();
  const std::string echo = "echo test: 25 voice packets played back over 0.5 s";
  EXPECT_NE(tx->out().find(echo), std::string::npos) << tx->out();
  for (const char* doc : {"docs/mirx_node.md", "man/mirx_node.1.scd", "docs/conference-rules.md"})
    EXPECT_TRUE(documented(echo, doc)) << doc;
  EXPECT_TRUE(received(r.f.nodes[0]).empty()) << "the echo test reached another node";
  const auto ech = r.record("ECH ");
  ASSERT_TRUE(ech);
  EXPECT_EQ(std::string(ech->begin() + record::call1, ech->begin() + record::call1 + 5), "CALLE");
  EXPECT_NE(r.f.stop_and_read_log().find("Echo test from TESTER  : 25 voice packets played back"),
            std::string::npos);
}

// A server stopped for longer than the silence time while a refused stream
// and an echo recording go on: their queued voice is read as theirs, not
// taken for voice after their end, and the listener hears neither.
TEST(ConferenceRules, AStalledServerRelaysNoQueuedVoiceOfARefusedOrEchoStream) {
  rules_fixture r("OneTalker=ON;\nEchoCall=ECHO;\n");
  auto talker = r.transmit(11, "TALKERA", 50);
  const auto first = r.f.nodes[0].receive(3000);
  ASSERT_TRUE(first && first->bytes.size() == hdr::size) << "the talker was not heard";
  auto refused = r.transmit(12, "TALKERB", 250);
  auto echo = r.transmit(13, "TESTER", 250, {"--your-call", "ECHO"});
  EXPECT_EQ(talker->wait_exit(10000), 0) << talker->out();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  r.f.server.signal(SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  r.f.server.signal(SIGCONT);
  EXPECT_EQ(refused->wait_exit(15000), 3) << refused->out();
  EXPECT_EQ(echo->wait_exit(20000), 0) << echo->out() << echo->err();
  std::vector<bytes> got{to_bytes(first->bytes)};
  for (const bytes& d : received(r.f.nodes[0], 50, 500)) got.push_back(d);
  EXPECT_EQ(streams_in(got), (heard{{"TALKERA", 50}}));
}

}  // namespace
}  // namespace mirx::e2e
