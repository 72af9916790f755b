// Feeds the receive dispatch any run of datagrams and holds the conference to
// its invariants after each one; any violation aborts, so libFuzzer reports it.
//
// Input: one mode byte (bit 0 debug, bit 1 info, bit 2 D-PRS on, bit 3 log
// file open), then records of a control byte, a length byte and the datagram:
//   control bits 0..2  sender, one of eight addresses, so that senders collide
//   control bits 3..4  how the fake link fails sends (none, no buffer space
//                      for the first three attempts, a hard error once, no
//                      buffer space on every other attempt)
//   control bit 5      the receive failed (length -1)
//   control bits 6..7  how batched sends go: one by one; only the first half
//                      of each batch, the rest untold; only the first of
//                      each batch, the rest untold; one by one
//   length byte        datagram length modulo 65 (0..64), cut short by the
//                      end of the input
// A datagram longer than 56 bytes sits in a 56-byte buffer, as in the receive
// loop; a shorter one in a buffer of exactly its size, so that reading past
// its end is caught. With the log file open, the lines a voice packet adds
// to it are checked too: one per delivery, each before its failure line.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dprs/dprs.h"
#include "model/conference_model.h"
#include "platform/ipv4.h"
#include "node/conference.h"
#include "server/dispatch.h"
#include "platform/platform.h"

namespace {

using bytes = std::vector<std::uint8_t>;

[[noreturn]] void violated(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

void require(bool ok, const char* what) {
  if (!ok) violated(what);
}

struct attempt {
  bool is_input;  // the received datagram itself, byte for byte
  bytes data;     // otherwise what was sent
  std::uint32_t ip;
  int result;
  int first_result = 0;  // of a logical send: how its first attempt ended
};

// Records every send attempt and fails them as the control byte asks.
class fake_link final : public mirx::node_link {
 public:
  int failure_mode = 0;
  int batch_mode = 0;
  bytes input;  // the datagram being handled
  std::vector<attempt> attempts;
  std::size_t records = 0;
  std::size_t waits = 0;

  int send_to_node(const std::uint8_t* data, std::size_t length, std::uint32_t ip) override {
    const int result = outcome(attempts.size());
    const bool same = length == input.size() && std::memcmp(data, input.data(), length) == 0;
    attempts.push_back({same, same ? bytes() : bytes(data, data + length), ip, result});
    return result;
  }
  // A platform that may send only part of a batch without saying why: the
  // caller must then send the rest itself.
  std::size_t send_to_nodes(const std::uint8_t* data, std::size_t length, const std::uint32_t* ips,
                            std::size_t count, int* error) override {
    require(count >= 1 && count <= max_batch, "a batch of 1 to max_batch destinations");
    const std::size_t goes = batch_mode == 1 ? (count + 1) / 2 : batch_mode == 2 ? 1 : count;
    for (std::size_t i = 0; i < goes; ++i) {
      *error = send_to_node(data, length, ips[i]);
      if (*error != 0) return i;
    }
    *error = 0;
    return goes;
  }
  void send_to_log_server(const std::uint8_t* data, std::size_t length) override {
    require(length == 32, "log record of 32 bytes");
    (void)data;
    ++records;
  }
  void wait_ms(int ms) override {
    require(ms == 10 || ms == 50, "retry wait of 10 or 50 ms");
    ++waits;
  }

 private:
  int outcome(std::size_t n) const {
    const int no_space = platform::no_buffer_space_code();
    switch (failure_mode) {
      case 1:
        return n < 3 ? no_space : 0;
      case 2:
        return n == 0 ? ECONNREFUSED : 0;
      case 3:
        return n % 2 == 0 ? no_space : 0;
      default:
        return 0;
    }
  }
};

class checking_sink final : public mirx::dprs::byte_sink {
 public:
  void write(const std::uint8_t* data, std::size_t length) override {
    require(length >= 1 && length <= 5, "D-PRS write of 1 to 5 bytes");
    (void)data;
  }
};

std::FILE* null_file() {
  static std::FILE* f = std::fopen("/dev/null", "w");
  return f;
}

const std::uint32_t senders[8] = {
    mirx::address_of(127, 0, 0, 1),       mirx::address_of(127, 0, 0, 2),
    mirx::address_of(127, 0, 0, 3),       mirx::address_of(10, 0, 0, 1),
    mirx::address_of(192, 168, 1, 20),    mirx::address_of(0, 0, 0, 0),
    mirx::address_of(255, 255, 255, 255), mirx::address_of(127, 0, 0, 4)};

// The logical sends of a relay or an acknowledgement: every retry after a
// no-buffer-space failure must repeat the failed send exactly, and is folded
// into it.
std::vector<attempt> folded(const fake_link& link) {
  const int no_space = platform::no_buffer_space_code();
  std::vector<attempt> sends;
  std::size_t failed_for_space = 0;
  for (const attempt& a : link.attempts) {
    if (!sends.empty() && sends.back().result == no_space) {
      require(a.is_input == sends.back().is_input && a.data == sends.back().data &&
                  a.ip == sends.back().ip,
              "a retry repeats the failed send");
      sends.back().result = a.result;
    } else {
      sends.push_back(a);
      sends.back().first_result = a.result;
    }
    if (a.result == no_space) ++failed_for_space;
  }
  require(link.waits == failed_for_space, "one wait before every retry");
  return sends;
}

void check_table(const mirx::conference& c, const mirx::model::conference_model& m,
                 const mirx::model::outcome& o) {
  const auto& real = c.table.entries();
  std::vector<mirx::callsign> calls;
  for (const auto& e : real) calls.push_back(e.call1);
  std::sort(calls.begin(), calls.end());
  require(std::adjacent_find(calls.begin(), calls.end()) == calls.end(),
          "no two entries with equal call1");
  if (o.table == mirx::model::change::added)
    require(!c.table.empty() && c.table.tail().call1 == o.after.call1,
            "the last entry is the one added last");
  require(real.size() == m.entries().size(), "table size as expected");
  for (std::size_t i = 0; i < real.size(); ++i) {
    const auto& e = m.entries()[i];
    require(real[i].call1 == e.call1 && real[i].call2 == e.call2 && real[i].ip == e.ip,
            "table entries in the expected order with the expected fields");
  }
}

// Checks what was sent and returns the logical sends.
std::vector<attempt> check_sends(const fake_link& link, const mirx::model::outcome& o,
                                 const std::uint8_t* data, std::uint32_t sender, bool debug) {
  // The registration reply is sent once, whatever becomes of it.
  const std::vector<attempt> sends = o.reply ? link.attempts : folded(link);
  if (o.reply) require(link.waits == 0, "a registration reply is never repeated");
  const std::size_t acks = o.ack ? 12 : 0, replies = o.reply ? 1 : 0;
  require(sends.size() == o.relay_to.size() + acks + replies, "number of sends");
  for (std::size_t i = 0; i < o.relay_to.size(); ++i) {
    require(sends[i].ip == o.relay_to[i].ip, "relayed to the expected entry");
    require(debug || sends[i].ip != sender, "nothing relayed to the sender without debug");
    require(sends[i].is_input, "relayed byte for byte");
  }
  for (std::size_t i = o.relay_to.size(); i < sends.size(); ++i)
    require(sends[i].ip == sender, "acknowledgement and reply go to the sender");
  if (o.reply) {
    bytes expected(data, data + 16);
    expected[0] = 'S';
    expected[1] = 'A';
    require(sends[0].data == expected, "registration reply is the request's first 16 bytes");
  }
  require(link.records == o.log_records, "log records as expected");
  return sends;
}

// The log file as written so far, readable at any time.
class captured_log {
 public:
  captured_log() : file_(open_memstream(&text_, &size_)) {}
  ~captured_log() {
    std::fclose(file_);
    std::free(text_);
  }
  captured_log(const captured_log&) = delete;
  captured_log& operator=(const captured_log&) = delete;
  std::FILE* file() const { return file_; }
  // What was written since the last call.
  std::string news() {
    std::fflush(file_);
    std::string fresh(text_ + seen_, size_ - seen_);
    seen_ = size_;
    return fresh;
  }

 private:
  char* text_ = nullptr;
  std::size_t size_ = 0, seen_ = 0;
  std::FILE* file_;
};

// A call sign as the log file shows it: up to its first zero byte, control
// characters as '?'.
std::string shown(const mirx::callsign& call) {
  std::string text;
  for (std::size_t i = 0; i < call.size() && call[i] != 0; ++i) {
    const auto b = static_cast<unsigned char>(call[i]);
    text += b < 0x20 || b == 0x7f ? '?' : call[i];
  }
  return text;
}

// A voice packet adds one line per delivery to the log file, and after the
// line of a send that failed, that failure's line.
void check_voice_log(const std::string& news, const mirx::model::outcome& o,
                     const std::vector<attempt>& sends) {
  std::string expected;
  for (std::size_t i = 0; i < o.relay_to.size(); ++i) {
    expected += "Send DV Packet to " + shown(o.relay_to[i].call1) + "\n";
    if (sends[i].first_result == 0) continue;
    char line[64];
    std::snprintf(line, sizeof line, "send error 2:%d %x\n", sends[i].first_result,
                  mirx::address_as_hex(sends[i].ip));
    expected += line;
  }
  require(news == expected, "a voice packet's log lines, in order");
}

// One datagram: the real dispatch and the model side by side.
void one(mirx::conference& c, fake_link& link, mirx::model::conference_model& m,
         mirx::dprs::state* dprs, captured_log* log, const std::uint8_t* data, long length,
         std::uint32_t sender) {
  const std::size_t held = length < 0 ? 0 : static_cast<std::size_t>(length > 56 ? 56 : length);
  bytes buffer(data, data + held);
  buffer.shrink_to_fit();
  const std::uint8_t* in = buffer.empty() ? nullptr : buffer.data();
  link.input = buffer;
  link.attempts.clear();
  link.records = link.waits = 0;
  const mirx::model::outcome o = m.apply(in, length, sender);
  mirx::dispatch(c, dprs, in, length, sender);
  check_table(c, m, o);
  const std::vector<attempt> sends = check_sends(link, o, in, sender, c.out.debug);
  if (log == nullptr) return;
  const std::string news = log->news();
  if (o.what == mirx::model::kind::voice) check_voice_log(news, o, sends);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t mode = data[0];
  output out;
  captured_log log;
  out.console = null_file();
  out.log = (mode & 8) != 0 ? log.file() : nullptr;
  out.debug = (mode & 1) != 0;
  out.info = (mode & 2) != 0;
  fake_link link;
  mirx::conference c{out, link, {}, {}, {}};
  checking_sink sink;
  mirx::dprs::state dprs;
  dprs.port = &sink;
  mirx::model::conference_model m(out.debug);
  std::size_t at = 1;
  while (at + 2 <= size) {
    const std::uint8_t control = data[at], wanted = data[at + 1] % 65;
    at += 2;
    const std::size_t length = std::min<std::size_t>(wanted, size - at);
    link.failure_mode = (control >> 3) & 3;
    link.batch_mode = control >> 6;
    const long received = (control & 0x20) != 0 ? -1 : static_cast<long>(length);
    one(c, link, m, (mode & 4) != 0 ? &dprs : nullptr, out.log != nullptr ? &log : nullptr,
        data + at, received, senders[control & 7]);
    at += length;
  }
  return 0;
}
