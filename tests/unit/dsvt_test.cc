#include "dextra/dsvt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dextra/link_target.h"

namespace mirx::dextra {
namespace {

std::vector<std::uint8_t> bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

std::vector<std::uint8_t> dsvt_of(std::size_t size, std::uint8_t k) {
  std::vector<std::uint8_t> p(size, 0);
  std::memcpy(p.data(), "DSVT", 4);
  p[dsvt::kind] = k;
  return p;
}

TEST(DsvtKind, ByLengthAndContents) {
  struct row {
    std::vector<std::uint8_t> data;
    kind expected;
  };
  std::vector<std::uint8_t> ack = bytes("DL1ABC  BC");
  ack.insert(ack.end(), {'A', 'C', 'K', 0});
  std::vector<std::uint8_t> nak = bytes("DL1ABC  BC");
  nak.insert(nak.end(), {'N', 'A', 'K', 0});
  std::vector<std::uint8_t> bad_answer = bytes("DL1ABC  BC");
  bad_answer.insert(bad_answer.end(), {'A', 'C', 'K', 'X'});
  const row rows[] = {
      {bytes(std::string("DL1ABC  BC") + '\0'), kind::link},
      {bytes(std::string("DL1ABC  B ") + '\0'), kind::unlink},
      {bytes(std::string("          ") + '\0'), kind::unlink},
      {bytes(std::string("DL1ABC  B1") + '\0'), kind::other},
      {ack, kind::answer_ack},
      {nak, kind::answer_nak},
      {bad_answer, kind::other},
      {bytes(std::string("XRF123  ") + '\0'), kind::keepalive},
      {bytes("DISCONNECTED"), kind::disconnected},
      {bytes("DISCONNECTEX"), kind::other},
      {dsvt_of(56, 0x10), kind::header},
      {dsvt_of(27, 0x20), kind::voice},
      {dsvt_of(56, 0x20), kind::other},
      {dsvt_of(27, 0x10), kind::other},
      {std::vector<std::uint8_t>(56, 0), kind::other},
      {std::vector<std::uint8_t>(40, 0), kind::other},
  };
  for (const row& r : rows)
    EXPECT_EQ(kind_of(r.data.data(), r.data.size()), r.expected)
        << std::string(r.data.begin(), r.data.end());
}

TEST(DsvtCrc, X25CheckValueAndHeaderRoundTrip) {
  const std::string check = "123456789";
  EXPECT_EQ(crc_x25(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0x906E);
  std::vector<std::uint8_t> h = dsvt_of(56, 0x10);
  put_call(h.data() + dsvt::rpt2, "XRF123", 'B');
  EXPECT_FALSE(header_crc_ok(h.data()));
  set_header_crc(h.data());
  EXPECT_TRUE(header_crc_ok(h.data()));
  h[dsvt::my] ^= 1;  // any changed field spoils it
  EXPECT_FALSE(header_crc_ok(h.data()));
}

TEST(DsvtCall, PlausibleFields) {
  struct row {
    const char* field;  // 8 bytes
    bool plausible;
  };
  const row rows[] = {
      {"DL1ABC  ", true},  {"XRF123 B", true},  {"CQCQCQ  ", true},   {"N0CALL G", true},
      {"123ABC  ", false}, {"AB CDE  ", false}, {"DL1ABC\0 ", false}, {"DL1-ABC ", false},
      {"dl1abc  ", true},  {"        ", false}, {"1A2     ", true},   {"DL1ABC C", true},
  };
  for (const row& r : rows)
    EXPECT_EQ(plausible_call(reinterpret_cast<const std::uint8_t*>(r.field)), r.plausible)
        << r.field;
  EXPECT_TRUE(plausible_suffix(reinterpret_cast<const std::uint8_t*>("ID51")));
  EXPECT_TRUE(plausible_suffix(reinterpret_cast<const std::uint8_t*>("    ")));
  EXPECT_FALSE(plausible_suffix(reinterpret_cast<const std::uint8_t*>("ID\x01 ")));
}

TEST(DsvtCall, ConfiguredText) {
  EXPECT_TRUE(valid_call_text("XRF123", 7));
  EXPECT_TRUE(valid_call_text("DL1ABC"));
  EXPECT_FALSE(valid_call_text("XRF1234X", 7));  // no room for the module letter
  EXPECT_FALSE(valid_call_text("XR"));
  EXPECT_FALSE(valid_call_text("123456"));
  EXPECT_FALSE(valid_call_text("XRF 12"));
  EXPECT_FALSE(valid_call_text(""));
}

TEST(DsvtControl, Composed) {
  std::uint8_t request[ctl::request_size];
  make_request(request, "DL1ABC", 'B', 'C');
  EXPECT_EQ(std::memcmp(request, "DL1ABC  BC\0", 11), 0);
  EXPECT_EQ(kind_of(request, sizeof request), kind::link);
  std::uint8_t answer[ctl::answer_size];
  make_answer(answer, request, true);
  EXPECT_EQ(std::memcmp(answer, "DL1ABC  BCACK\0", 14), 0);
  make_answer(answer, request, false);
  EXPECT_EQ(kind_of(answer, sizeof answer), kind::answer_nak);
  make_unlink(request, "DL1ABC", 'B');
  EXPECT_EQ(std::memcmp(request, "DL1ABC  B \0", 11), 0);
  std::uint8_t alive[ctl::keepalive_size];
  make_keepalive(alive, "XRF123");
  EXPECT_EQ(std::memcmp(alive, "XRF123  \0", 9), 0);
}

}  // namespace
}  // namespace mirx::dextra

namespace mirx::dextra {
namespace {

TEST(LinkTarget, Lines) {
  struct row {
    const char* line;
    bool taken;
    const char* call;
    char module;
    const char* host;
    std::uint16_t port;
  };
  const row rows[] = {
      {"XRF123 B ref.example", true, "XRF123", 'B', "ref.example", 30001},
      {" XRF123\tC 10.0.0.1:40000 ", true, "XRF123", 'C', "10.0.0.1", 40000},
      {"XRF123 B ref.example:65536", false, "", 0, "", 0},
      {"XRF123 B ref.example:", false, "", 0, "", 0},
      {"XRF123 B :30001", false, "", 0, "", 0},
      {"XRF123 BB ref.example", false, "", 0, "", 0},
      {"XRF12345 B ref.example", false, "", 0, "", 0},
      {"XRF123 B", false, "", 0, "", 0},
      {"", false, "", 0, "", 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.line);
    const auto t = parse_link_target(r.line);
    ASSERT_EQ(t.has_value(), r.taken);
    if (!t) continue;
    EXPECT_EQ(t->call, r.call);
    EXPECT_EQ(t->module, r.module);
    EXPECT_EQ(t->host, r.host);
    EXPECT_EQ(t->port, r.port);
  }
}

}  // namespace
}  // namespace mirx::dextra
