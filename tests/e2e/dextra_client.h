#pragma once

// A DExtra client of the tests' own, built on the codec: it links, sends
// streams in DSVT framing and collects what a reflector sends it.

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "dextra/dsvt.h"
#include "e2e/server_process.h"

namespace mirx::e2e {

struct dextra_client {
  nodes::udp_endpoint socket;
  std::string call;
  std::uint16_t server_port;
  std::uint32_t server_ip = *mirx::parse_ipv4("127.0.0.1");

  dextra_client(const std::string& address, std::string c, std::uint16_t port)
      : socket(*nodes::udp_endpoint::bind(address, 0)), call(std::move(c)), server_port(port) {}

  void send(const bytes& b) const { socket.send_to(b.data(), b.size(), server_ip, server_port); }

  // Sends a link request for `module`; the answer's kind, keepalives passed
  // over; nothing when none came within 3 s.
  std::optional<dextra::kind> link(char module = 'B') const {
    bytes request(dextra::ctl::request_size);
    dextra::make_request(request.data(), call, 'D', module);
    send(request);
    for (int i = 0; i < 10; ++i) {
      const auto d = socket.receive(3000);
      if (!d) return std::nullopt;
      const dextra::kind k = dextra::kind_of(d->bytes.data(), d->bytes.size());
      if (k == dextra::kind::answer_ack || k == dextra::kind::answer_nak) return k;
    }
    return std::nullopt;
  }

  // A stream of `frames` voice frames, the sync on every 21st, the end flag
  // on the last.
  std::vector<bytes> make_stream(const std::string& my, std::uint16_t id, int frames,
                                 const std::string& your = "CQCQCQ") const {
    bytes h(dextra::dsvt::header_size, 0);
    const std::uint8_t sid[2] = {static_cast<std::uint8_t>(id >> 8),
                                 static_cast<std::uint8_t>(id & 0xff)};
    dextra::frame_as_dsvt_header(h.data(), sid);
    dextra::put_call(h.data() + dextra::dsvt::rpt2, "XRF999", 'B');
    dextra::put_call(h.data() + dextra::dsvt::rpt1, call, 'D');
    dextra::put_call(h.data() + dextra::dsvt::your, your);
    dextra::put_call(h.data() + dextra::dsvt::my, my);
    std::memcpy(h.data() + dextra::dsvt::my_suffix, "TEST", 4);
    dextra::set_header_crc(h.data());
    std::vector<bytes> stream{h};
    for (int i = 0; i < frames; ++i) {
      bytes v(dextra::dsvt::voice_size, static_cast<std::uint8_t>(i + 1));
      std::uint8_t sequence = static_cast<std::uint8_t>(i % 21);
      if (i + 1 == frames) sequence |= dextra::dsvt::last_frame;
      dextra::frame_as_dsvt_voice(v.data(), sid, sequence);
      if (i % 21 == 0) std::memcpy(v.data() + dextra::dsvt::slow_data, dextra::dsvt::sync, 3);
      stream.push_back(v);
    }
    return stream;
  }

  // The DSVT datagrams that arrive until `quiet_ms` pass without one;
  // keepalives are left out.
  std::vector<bytes> stream_heard(int quiet_ms = 500) const {
    std::vector<bytes> got;
    for (const nodes::datagram& d : socket.drain(quiet_ms, 2000, 8000)) {
      const dextra::kind k = dextra::kind_of(d.bytes.data(), d.bytes.size());
      if (k == dextra::kind::header || k == dextra::kind::voice) got.push_back(d.bytes);
    }
    return got;
  }
};

// Checks that `got` is one valid DSVT stream of `frames` voice frames, its
// header plausible under the strictest reflector's rules, and returns its
// stream id (0 when there is none).
inline std::uint16_t check_dsvt_stream(const std::vector<bytes>& got, std::size_t frames,
                                       const std::string& rpt2 = "") {
  if (got.empty()) return ADD_FAILURE() << "no stream", 0;
  std::size_t headers = 0;
  while (headers < got.size() && got[headers].size() == dextra::dsvt::header_size) ++headers;
  EXPECT_GE(headers, 2u) << "the header is sent more than once";
  const std::uint8_t* id = got[0].data() + dextra::dsvt::stream_id;
  EXPECT_FALSE(id[0] == 0 && id[1] == 0);
  for (std::size_t i = 0; i < headers; ++i) {
    EXPECT_EQ(got[i], got[0]);
    EXPECT_TRUE(dextra::plausible_header(got[i].data()));
    EXPECT_TRUE(dextra::header_crc_ok(got[i].data()));
  }
  if (!rpt2.empty()) {
    EXPECT_EQ(std::string(got[0].begin() + dextra::dsvt::rpt2, got[0].begin() + 26), rpt2);
  }
  EXPECT_EQ(got.size() - headers, frames);
  for (std::size_t i = headers; i < got.size(); ++i) {
    const bytes& v = got[i];
    EXPECT_EQ(dextra::kind_of(v.data(), v.size()), dextra::kind::voice);
    EXPECT_EQ(std::memcmp(v.data() + dextra::dsvt::stream_id, id, 2), 0);
    const std::uint8_t sequence = v[dextra::dsvt::sequence];
    const bool last = i + 1 == got.size();
    EXPECT_EQ((sequence & dextra::dsvt::last_frame) != 0, last) << i;
    EXPECT_EQ(sequence & 0x3f, (i - headers) % 21) << i;
    EXPECT_EQ((sequence & 0x3f) == 0, dextra::is_sync(v.data())) << "in step with the sync " << i;
  }
  return static_cast<std::uint16_t>(id[0] << 8 | id[1]);
}

}  // namespace mirx::e2e
