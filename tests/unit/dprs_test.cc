// Position output: the slow-data state machine that rebuilds blocks from
// voice packets and writes the data of position blocks, the names of serial
// devices and the supported baud rates.

#include "dprs/dprs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/baud_rate.h"
#include "platform/device_name.h"
#include "unit/harness.h"

namespace mirx::dprs {
namespace {

using bytes = std::vector<std::uint8_t>;

class recording_sink final : public byte_sink {
 public:
  std::vector<bytes> writes;
  void write(const std::uint8_t* data, std::size_t length) override {
    writes.emplace_back(data, data + length);
  }
  std::string all() const {
    std::string s;
    for (const bytes& w : writes) s.append(w.begin(), w.end());
    return s;
  }
};

// A block as it travels: two halves, each scrambled.
struct halves {
  slow::half first, second;
};
halves encode(std::uint8_t header, const std::string& data = "") {
  slow::block b{header};
  for (std::size_t i = 0; i < data.size() && i < 5; ++i)
    b[1 + i] = static_cast<std::uint8_t>(data[i]);
  return {slow::scramble({b[0], b[1], b[2]}), slow::scramble({b[3], b[4], b[5]})};
}

struct machine {
  testing::captured console;
  output out;
  recording_sink sink;
  state s;

  explicit machine(bool debug = false, bool info = false) {
    out.console = console.file();
    out.debug = debug;
    out.info = info;
    s.port = &sink;
  }
  void feed(const slow::half& h) { process_slow_data(s, out, h.data()); }
  void feed(const halves& b) {
    feed(b.first);
    feed(b.second);
  }
};

struct block_case {
  std::uint8_t header;
  const char* written;  // nullptr: nothing at all is written
};

class OneBlock : public ::testing::TestWithParam<block_case> {};

// Each header byte with the same five data bytes "ABCDE".
TEST_P(OneBlock, WritesTheCountedDataOfPositionBlocksOnly) {
  const block_case c = GetParam();
  machine m;
  m.feed(encode(c.header, "ABCDE"));
  if (c.written == nullptr) {
    EXPECT_TRUE(m.sink.writes.empty());
  } else {
    ASSERT_EQ(m.sink.writes.size(), 1u);
    EXPECT_EQ(m.sink.all(), c.written);
  }
  EXPECT_FALSE(m.s.assembler.second_half_next());
}

INSTANTIATE_TEST_SUITE_P(Headers, OneBlock,
                         ::testing::Values(block_case{0x35, "ABCDE"}, block_case{0x31, "A"},
                                           block_case{0x33, "ABC"},
                                           // A block holds five data bytes, whatever its count.
                                           block_case{0x36, "ABCDE"}, block_case{0x3F, "ABCDE"},
                                           block_case{0x30, nullptr},
                                           // Other types: text, header data, filler, zero.
                                           block_case{0x45, nullptr}, block_case{0x55, nullptr},
                                           block_case{0x66, nullptr}, block_case{0x25, nullptr},
                                           block_case{0x05, nullptr}, block_case{0xF5, nullptr}));

// Halves fed in order, and the writes they must give.
struct sequence_case {
  const char* name;
  std::vector<slow::half> fed;
  std::vector<bytes> written;
};

std::vector<slow::half> halves_of(std::initializer_list<halves> blocks) {
  std::vector<slow::half> v;
  for (const halves& b : blocks) v.insert(v.end(), {b.first, b.second});
  return v;
}

TEST(SlowData, SyncAndOtherTypesFrameTheBlocks) {
  const slow::half sync = slow::sync_pattern;
  const halves ab = encode(0x33, "ab"), text = encode(0x45, "wxyz"), ok = encode(0x32, "ok");
  const sequence_case cases[] = {
      {"sync before a first half changes nothing",
       {sync, ok.first, ok.second, sync, sync, ab.first, ab.second},
       {{'o', 'k'}, {'a', 'b', 0}}},
      // Taken as a fresh first half, not as the dropped block's second half:
      // data whose scrambled half equals the pattern cannot travel.
      {"sync after a first half drops it", {ab.first, sync, ok.first, ok.second}, {{'o', 'k'}}},
      {"after another type the next packet begins a block",
       halves_of({text, encode(0x66), ab}),
       {{'a', 'b', 0}}},
      // Senders feed the one shared state: a's block is completed by b's
      // first half, and only a first half's header byte decides.
      {"interleaved senders share one block",
       {ab.first, text.first, ab.second, text.second, text.first, ab.first},
       {{'a', 'b', 0x45}}},
  };
  for (const sequence_case& c : cases) {
    SCOPED_TRACE(c.name);
    machine m;
    for (const slow::half& h : c.fed) m.feed(h);
    EXPECT_EQ(m.sink.writes, c.written);
  }
}

TEST(SlowData, PositionReportOverSuperframesArrivesWhole) {
  const std::string report = "$$CRCB3A1,A>API705:!3540.00N/13945.00E>\r";
  machine m;
  std::vector<slow::half> frames;
  for (std::size_t at = 0; at < report.size(); at += 5) {
    const std::string piece = report.substr(at, 5);
    const halves h = encode(static_cast<std::uint8_t>(0x30 | piece.size()), piece);
    frames.push_back(h.first);
    frames.push_back(h.second);
  }
  // A sync opens every superframe of 21 frames; the halves fill the rest.
  std::size_t next = 0;
  for (std::size_t i = 0; next < frames.size(); ++i)
    m.feed(i % 21 == 0 ? slow::sync_pattern : frames[next++]);
  EXPECT_EQ(m.sink.all(), report);
  EXPECT_EQ(m.sink.writes.size(), (report.size() + 4) / 5);
}

TEST(SlowData, WithoutAPortNothingIsWrittenAndNothingBreaks) {
  machine m(true);
  m.s.port = nullptr;
  m.feed(encode(0x32, "ok"));
  EXPECT_TRUE(m.sink.writes.empty());
  EXPECT_EQ(m.console.text(), "ok");
}

// Each written byte appears as it is, with no time stamp and no line end of
// its own; a zero byte is echoed too. Information alone shows nothing.
TEST(SlowData, DebugEchoesEachWrittenByte) {
  const std::string written("a\rb\0c\n", 6);
  for (bool debug : {true, false}) {
    machine m(debug, !debug);
    m.feed(encode(0x35, written.substr(0, 5)));
    m.feed(encode(0x30, "zzzzz"));
    m.feed(encode(0x45, "text!"));
    m.feed(encode(0x31, "\n"));
    EXPECT_EQ(m.console.text(), debug ? written : "");
    EXPECT_EQ(m.sink.all(), written);
  }
}

TEST(DeviceName, AliasesAndPlainNames) {
  const struct {
    const char* name;
    const char* path;
  } cases[] = {
      {"com1", "/dev/ttyS0"},
      {"COM1", "/dev/ttyS0"},
      {"Com12", "/dev/ttyS11"},
      {"com01", "/dev/ttyS0"},
      {"com0", "/dev/com0"},
      {"com", "/dev/com"},
      {"com1a", "/dev/com1a"},
      {"com-1", "/dev/com-1"},
      {"usb0", "/dev/ttyUSB0"},
      {"USB12", "/dev/ttyUSB12"},
      {"acm0", "/dev/ttyACM0"},
      {"Acm3", "/dev/ttyACM3"},
      {"usb", "/dev/usb"},
      {"pts/3", "/dev/pts/3"},
      {"ttyS1", "/dev/ttyS1"},
      {"co", "/dev/co"},
      {"", "/dev/"},
      {"com99999999999999999999", "/dev/com99999999999999999999"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::device_path(c.name), c.path) << c.name;
}

TEST(BaudRate, StandardRatesOnly) {
  const struct {
    std::int32_t rate;
    std::optional<speed_t> code;
  } cases[] = {
      {50, B50},
      {4800, B4800},
      {9600, B9600},
      {115200, B115200},
      {4000000, B4000000},
      {0, std::nullopt},
      {-9600, std::nullopt},
      {9601, std::nullopt},
      {14400, std::nullopt},
      {-2147483647 - 1, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::baud_rate_code(c.rate), c.code) << c.rate;
}

}  // namespace
}  // namespace mirx::dprs
