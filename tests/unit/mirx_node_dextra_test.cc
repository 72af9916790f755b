// The node tool as a DExtra client: its command line, and the check it
// makes of each DSVT stream a reflector sends.

#include <gtest/gtest.h>

#include <functional>
#include <tuple>
#include <vector>

#include "dextra/dsvt.h"
#include "dprs/slow_data.h"
#include "mirx_node/dextra_check.h"
#include "mirx_node/options.h"
#include "nodelib/packets.h"

namespace mirx::node_tool {
namespace {

parse_result parse(std::vector<const char*> args) {
  args.insert(args.begin(), "mirx_node");
  return parse_command_line(static_cast<int>(args.size()), args.data());
}

TEST(NodeToolDExtraOptions, DefaultsSuitAReflector) {
  auto r = parse({"link", "--server", "h", "--call1", "N0CALL"});
  ASSERT_EQ(r.error, "");
  EXPECT_TRUE(r.opts.dextra);
  // The out port 0: any free port.
  EXPECT_EQ(std::tuple(r.opts.module, r.opts.in_port, r.opts.out_port), std::tuple('A', 30001, 0));
  r = parse({"listen", "--dextra", "--server", "h", "--call1", "N0CALL", "--module", "b",
             "--in-port", "30002", "--out-port", "30003"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(std::tuple(r.opts.module, r.opts.in_port, r.opts.out_port),
            std::tuple('B', 30002, 30003));
}

TEST(NodeToolDExtraOptions, RefusesWhatAReflectorWouldNotTake) {
  const struct {
    std::vector<const char*> args;
    const char* error;
  } cases[] = {
      {{"link", "--server", "h"}, "--call1 CALL is required"},
      {{"link", "--server", "h", "--call1", "N0CALL", "--module", "1"},
       "--module wants one letter from A to Z, not \"1\""},
      {{"link", "--server", "h", "--call1", "N0CALL", "--module", "AB"},
       "--module wants one letter from A to Z, not \"AB\""},
      {{"link", "--server", "h", "--call1", "EIGHTCHR"},
       "--call1 wants a DExtra call sign, 3 to 7 letters and digits, not \"EIGHTCHR\""},
      {{"listen", "--server", "h", "--call1", "N0CALL", "--module", "B"},
       "--module needs --dextra"},
      {{"unlink", "--server", "h", "--call1", "N0CALL"},
       "unlink needs --out-port P, the port of the client linked"},
      {{"transmit", "--dextra", "--server", "h", "--call1", "N0CALL", "--my-call", "123AB"},
       "--my-call \"123AB\" would make a header that reflectors drop: letters, digits and "
       "spaces, not three digits first"},
      {{"transmit", "--dextra", "--server", "h", "--call1", "N0CALL", "--my-call", "N1A",
        "--reflector", "X/1"},
       "--reflector wants a DExtra call sign, 3 to 7 letters and digits, not \"X/1\""},
      {{"register", "--server", "h", "--call1", "N0CALL", "--dextra"},
       "--dextra does not apply to register"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse(c.args).error, c.error);
}

using datagram = std::vector<std::uint8_t>;
const std::uint8_t id[2] = {0x1a, 0x2b};

// A stream as a sound client sends it: two header copies, `frames` voice
// frames with the sync in every 21st, the last flagged.
std::vector<datagram> good_stream(std::size_t frames) {
  nodes::header_fields f;
  f.my_call = "SPEAKER";
  f.rpt1_call = "N0CALL B";
  f.rpt2_call = "XRF123 B";
  nodes::header h = nodes::make_header(f);
  dextra::frame_as_dsvt_header(h.data(), id);
  dextra::set_header_crc(h.data());
  std::vector<datagram> out(2, datagram(h.begin(), h.end()));
  for (std::size_t i = 0; i < frames; ++i) {
    const bool sync = i % 21 == 0;
    nodes::voice_frame v = nodes::make_voice(0, sync ? slow::sync_pattern : slow::filler);
    auto sequence = static_cast<std::uint8_t>(i % 21);
    if (i + 1 == frames) sequence |= dextra::dsvt::last_frame;
    dextra::frame_as_dsvt_voice(v.data(), id, sequence);
    out.emplace_back(v.begin(), v.end());
  }
  return out;
}

TEST(NodeToolDExtraCheck, NamesWhatIsWrongWithAStream) {
  const std::string ok = "DExtra stream 0x1a2b: 2 header copies, checksum ok, call signs plausible";
  const struct {
    const char* what;
    std::size_t frames;
    std::function<void(std::vector<datagram>&)> spoil;
    std::string line;
  } rows[] = {
      {"good", 42, [](auto&) {}, ok + ", 42 voice frames, sequence in step, end flag"},
      {"wrong sequence", 21, [](auto& s) { s[2 + 5][14] = 6; },
       ok + ", 21 voice frames, sequence out of step: frame 5 has sequence 6, not 5, end flag"},
      {"sync on the wrong frame", 21,
       [](auto& s) { std::copy_n(slow::sync_pattern.begin(), 3, s[2 + 7].begin() + 24); },
       ok + ", 21 voice frames, sequence out of step: frame 7 (sequence 7) carries the sync, end "
            "flag"},
      {"no sync at a superframe", 30,
       [](auto& s) { std::copy_n(slow::filler.begin(), 3, s[2 + 21].begin() + 24); },
       ok + ", 30 voice frames, sequence out of step: frame 21 (sequence 0) lacks the sync, end "
            "flag"},
      // A reflector's closing frame carries the end pattern, not the sync.
      {"closing frame without sync", 22,
       [](auto& s) { std::copy_n(slow::filler.begin(), 3, s.back().begin() + 24); },
       ok + ", 22 voice frames, sequence in step, end flag"},
      {"missing end flag", 21, [](auto& s) { s.back()[14] = 20; },
       ok + ", 21 voice frames, sequence in step, no end flag"},
      {"two stream ids", 21, [](auto& s) { s[2 + 3][13] = 0x2c; },
       ok + ", 20 voice frames, sequence out of step: frame 3 has sequence 4, not 3, end flag, 1 "
            "with another stream id"},
      {"implausible header", 21,
       [](auto& s) {
         for (std::size_t i : {0, 1}) {
           s[i][dextra::dsvt::my + 2] = '/';
           dextra::set_header_crc(s[i].data());
         }
       },
       "DExtra stream 0x1a2b: 2 header copies, checksum ok, call signs implausible, 21 voice "
       "frames, sequence in step, end flag"},
      // A reflector that rewrote RPT2 without recomputing the checksum.
      {"bad checksum", 21, [](auto& s) { s[1][dextra::dsvt::rpt2 + 5] = '4'; },
       "DExtra stream 0x1a2b: 2 header copies, checksum wrong in 1 of 2, call signs plausible, "
       "21 voice frames, sequence in step, end flag"},
      {"voice without header", 21, [](auto& s) { s.erase(s.begin(), s.begin() + 2); },
       "DExtra stream 0x1a2b: no header, 21 voice frames, sequence in step, end flag"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    auto stream = good_stream(r.frames);
    r.spoil(stream);
    dsvt_check check;
    for (const datagram& d : stream) check.take(d.data(), d.size());
    EXPECT_EQ(check.finish(), r.line);
    EXPECT_EQ(check.finish(), std::nullopt);  // it starts afresh
  }
}

}  // namespace
}  // namespace mirx::node_tool
