#include "dextra/dsvt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dextra/link_target.h"

namespace mirx::dextra {
namespace {

using namespace std::string_literals;

const std::uint8_t* u8(const std::string& s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

std::string dsvt_of(std::size_t size, std::uint8_t k) {
  std::string p(size, '\0');
  std::memcpy(p.data(), "DSVT", 4);
  p[dsvt::kind] = static_cast<char>(k);
  return p;
}

// Each control packet as composed, byte for byte, and every datagram kind
// as told by its length and contents.
TEST(DsvtKind, ComposedAndTold) {
  std::uint8_t request[ctl::request_size], unlink[ctl::request_size], alive[ctl::keepalive_size];
  std::uint8_t ack[ctl::answer_size], nak[ctl::answer_size];
  make_request(request, "DL1ABC", 'B', 'C');
  make_unlink(unlink, "DL1ABC", 'B');
  make_answer(ack, request, true);
  make_answer(nak, request, false);
  make_keepalive(alive, "XRF123");
  EXPECT_EQ(std::string(request, request + sizeof request), "DL1ABC  BC\0"s);
  EXPECT_EQ(std::string(unlink, unlink + sizeof unlink), "DL1ABC  B \0"s);
  EXPECT_EQ(std::string(ack, ack + sizeof ack), "DL1ABC  BCACK\0"s);
  EXPECT_EQ(std::string(nak, nak + sizeof nak), "DL1ABC  BCNAK\0"s);
  EXPECT_EQ(std::string(alive, alive + sizeof alive), "XRF123  \0"s);
  const std::pair<std::string, kind> rows[] = {
      {"DL1ABC  BC\0"s, kind::link},          {"DL1ABC  B \0"s, kind::unlink},
      {"          \0"s, kind::unlink},        {"DL1ABC  B1\0"s, kind::other},
      {"DL1ABC  BCACK\0"s, kind::answer_ack}, {"DL1ABC  BCNAK\0"s, kind::answer_nak},
      {"DL1ABC  BCACKX"s, kind::other},       {"XRF123  \0"s, kind::keepalive},
      {"DISCONNECTED"s, kind::disconnected},  {"DISCONNECTEX"s, kind::other},
      {dsvt_of(56, 0x10), kind::header},      {dsvt_of(27, 0x20), kind::voice},
      {dsvt_of(56, 0x20), kind::other},       {dsvt_of(27, 0x10), kind::other},
      {std::string(56, '\0'), kind::other},   {std::string(40, '\0'), kind::other},
  };
  for (const auto& [data, expected] : rows)
    EXPECT_EQ(kind_of(u8(data), data.size()), expected) << data;
}

TEST(DsvtCrc, X25CheckValueAndHeaderRoundTrip) {
  EXPECT_EQ(crc_x25(u8("123456789"), 9), 0x906E);
  std::string h = dsvt_of(56, 0x10);
  std::uint8_t* p = reinterpret_cast<std::uint8_t*>(h.data());
  put_call(p + dsvt::rpt2, "XRF123", 'B');
  EXPECT_FALSE(header_crc_ok(p));
  set_header_crc(p);
  EXPECT_TRUE(header_crc_ok(p));
  p[dsvt::my] ^= 1;  // any changed field spoils it
  EXPECT_FALSE(header_crc_ok(p));
}

// Call sign fields as received, suffixes, and call signs as configured
// (those too long, digits first or with a space are refused in
// ConfigFile.DExtraKeys).
TEST(DsvtCall, PlausibleFieldsAndConfiguredText) {
  const std::pair<const char*, bool> fields[] = {
      {"DL1ABC  ", true},  {"XRF123 B", true},  {"CQCQCQ  ", true},   {"N0CALL G", true},
      {"123ABC  ", false}, {"AB CDE  ", false}, {"DL1ABC\0 ", false}, {"DL1-ABC ", false},
      {"dl1abc  ", true},  {"        ", false}, {"1A2     ", true},   {"DL1ABC C", true},
  };
  for (const auto& [field, plausible] : fields)
    EXPECT_EQ(plausible_call(reinterpret_cast<const std::uint8_t*>(field)), plausible) << field;
  EXPECT_TRUE(plausible_suffix(u8("ID51")));
  EXPECT_TRUE(plausible_suffix(u8("    ")));
  EXPECT_FALSE(plausible_suffix(u8("ID\x01 ")));
  EXPECT_TRUE(valid_call_text("DL1ABC"));
  EXPECT_FALSE(valid_call_text("XR"));
  EXPECT_FALSE(valid_call_text(""));
}

TEST(LinkTarget, Lines) {
  struct row {
    const char* line;
    const char* call = nullptr;  // none: refused
    char module = 0;
    const char* host = "";
    std::uint16_t port = 0;
  };
  // A line without a host is refused in ConfigFile.DExtraKeys.
  const row rows[] = {
      {"XRF123 B ref.example", "XRF123", 'B', "ref.example", 30001},
      {" XRF123\tC 10.0.0.1:40000 ", "XRF123", 'C', "10.0.0.1", 40000},
      {"XRF123 B ref.example:65536"},
      {"XRF123 B ref.example:"},
      {"XRF123 B :30001"},
      {"XRF123 BB ref.example"},
      {"XRF12345 B ref.example"},
      {""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.line);
    const auto t = parse_link_target(r.line);
    ASSERT_EQ(t.has_value(), r.call != nullptr);
    if (!t) continue;
    EXPECT_EQ(t->call, r.call);
    EXPECT_EQ(t->module, r.module);
    EXPECT_EQ(t->host, r.host);
    EXPECT_EQ(t->port, r.port);
  }
}

}  // namespace
}  // namespace mirx::dextra
