// What mirx_logrx prints for records and for anything else that reaches it.

#include "logrx/format_record.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "monitor/record_kinds.h"
#include "unit/record_bytes.h"

namespace mirx::logrx {
namespace {

using namespace std::string_literals;

const std::string stamp = "Sat Sep 24 10:00:00 2011";

using test::bytes;
using test::datagram;

std::string shown(const bytes& b) {
  return format_datagram(b.data(), b.size(), stamp, "10.1.2.3:4000");
}

struct row {
  bytes in;
  std::string line;  // after the time stamp and a space
};

TEST(FormatRecord, RecordsShowTheirFields) {
  const std::vector<row> rows = {
      {datagram({"ADD ", "JA1AAA  ", "JA1AAA B", "\xc0\xa8\x01\x14"}),
       "ADD call1=\"JA1AAA  \" call2=\"JA1AAA B\" ip=192.168.1.20"},
      // A value ends at its first zero byte; the bytes a record leaves unused
      // (4..7, and 28..31 of ADD and DEL) do not matter.
      {datagram({"DEL \x7f\x7f\x7f\x7f", "AB\0CDEFG"s, "", "\x0a\0\0\x01\xff\xff\xff\xff"s}),
       "DEL call1=\"AB\" call2=\"\" ip=10.0.0.1"},
      {datagram({"NOD ", "JA1AAA", "GW", "\x7f\0\0\x02"s}),
       "NOD call1=\"JA1AAA\" call2=\"GW\" ip=127.0.0.2"},
      {datagram({"ACC ", "", "", "JA1XYZ  "}), "ACC call1=\"\" call2=\"\" my_call=\"JA1XYZ  \""},
      {datagram({"ACC ", "NODECALL", "GATEWAY1", "MYCALLXY"}),
       "ACC call1=\"NODECALL\" call2=\"GATEWAY1\" my_call=\"MYCALLXY\""},
      // Nothing a node puts into a call sign can break the line or the quoting.
      {datagram({"ACC ", "A\nB\"C\\D", "\x1b[2J\xff", "OK"}),
       "ACC call1=\"A\\x0aB\\x22C\\x5cD\" call2=\"\\x1b[2J\\xff\" my_call=\"OK\""},
      // Stream ends: tenths of a second, rounded; the 24-bit cap; an unknown how.
      {datagram({"END \x02\xff\xff\xff"s, "", "", "X"}),
       "END call1=\"\" call2=\"\" my_call=\"X\" at least 16777.2 s silence"},
      {datagram({"END \x02\xff\xff\xfe"s, "", "", "X"}),
       "END call1=\"\" call2=\"\" my_call=\"X\" 16777.2 s silence"},
      {datagram({"END \x09\x00\x00\x32"s, "", "", "X"}),
       "END call1=\"\" call2=\"\" my_call=\"X\" 0.1 s how=9"},
      // The conference rules: a timed-out over, a refused talker, an echo test.
      {datagram({"END \x04\x00\x07\xd0"s, "N", "G", "X"}),
       "END call1=\"N\" call2=\"G\" my_call=\"X\" 2.0 s timed out"},
      {datagram({"REF ", "NODEB", "TALKERA", "TALKERB"}),
       "REF call1=\"NODEB\" talker=\"TALKERA\" my_call=\"TALKERB\""},
      {datagram({"ECH \x00\x00\x04\xb0"s, "N", "G", "X"}),
       "ECH call1=\"N\" call2=\"G\" my_call=\"X\" 1.2 s"},
      // A header's suffix and your_call; a text message, its bytes as a call sign's.
      {datagram({"HDR ID51", "N0NODE", "CQCQCQ", "DL1ABC"}),
       "HDR call1=\"N0NODE\" your_call=\"CQCQCQ\" my_call=\"DL1ABC\" suffix=\"ID51\""},
      {datagram({"TXT DL1A", "BC  Hall", "o aus Ha", "mburg\x01\"\xff"}),
       "TXT my_call=\"DL1ABC  \" text=\"Hallo aus Hamburg\\x01\\x22\\xff\""},
  };
  for (const row& r : rows) EXPECT_EQ(shown(r.in), stamp + " " + r.line);
}

std::string source_text(const char* name) {
  std::ifstream in(std::string(MIRX_SOURCE_DIR) + "/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every tag of the record table is shown under its own name and named in
// mirx_logrx(1), mirx_dashboard(1) and the records_total row of docs/dashboard.md.
TEST(FormatRecord, EveryTagIsShownAsItselfAndDocumented) {
  const std::string logrx = source_text("man/mirx_logrx.1.scd");
  const std::string dashboard = source_text("man/mirx_dashboard.1.scd");
  const std::string doc = source_text("docs/dashboard.md");
  const std::string metrics = doc.substr(doc.find("records_total{"), 120);
  EXPECT_EQ(logrx.find("shown as ADD"), std::string::npos);
  for (const record::kind& k : record::kinds) {
    const std::string tag(k.name());
    EXPECT_EQ(shown(datagram({k.tag, "A", "A", "A"})).substr(stamp.size() + 1, 4), tag + " ");
    for (const std::string* text : {&logrx, &dashboard})
      EXPECT_NE(text->find(tag), std::string::npos) << tag;
    EXPECT_NE(metrics.find('"' + tag + '"'), std::string::npos) << tag << " not in " << metrics;
  }
}

TEST(FormatRecord, AnythingElseShowsLengthAndBytes) {
  bytes acc_short = datagram({"ACC ", "A", "B", "C"});
  acc_short.pop_back();
  bytes add_long = datagram({"ADD ", "A", "B", "C"});
  add_long.push_back(0x5a);
  const std::string z7 = " 00 00 00 00 00 00 00";
  std::string many;
  for (int i = 0; i < 64; ++i) many += " ab";
  const std::vector<row> rows = {
      {{}, "0 bytes from 10.1.2.3:4000:"},
      {{0x41, 0x00, 0xff}, "3 bytes from 10.1.2.3:4000: 41 00 ff"},
      {acc_short, "31 bytes from 10.1.2.3:4000: 41 43 43 20 00 00 00 00 41" + z7 + " 42" + z7 +
                      " 43 00 00 00 00 00 00"},
      {add_long, "33 bytes from 10.1.2.3:4000: 41 44 44 20 00 00 00 00 41" + z7 + " 42" + z7 +
                     " 43" + z7 + " 5a"},
      {datagram({"acc ", "A", "B", "C"}),
       "32 bytes from 10.1.2.3:4000: 61 63 63 20 00 00 00 00 41" + z7 + " 42" + z7 + " 43" + z7},
      {datagram({"ACC\0"s, "A", "B", "C"}),
       "32 bytes from 10.1.2.3:4000: 41 43 43 00 00 00 00 00 41" + z7 + " 42" + z7 + " 43" + z7},
      {bytes(100, 0xab), "100 bytes from 10.1.2.3:4000:" + many + " ..."},
  };
  for (const row& r : rows) EXPECT_EQ(shown(r.in), stamp + " not a record: " + r.line);
}

// Whatever arrives, the result is one line of printable text.
TEST(FormatRecord, RandomDatagramsGiveOnePrintableLine) {
  std::mt19937 random(4);
  const char* tags[] = {"ACC ", "ADD ", "DEL ", "END ", "HBT ", "XYZ "};
  for (std::size_t length = 0; length <= 80; ++length) {
    for (int round = 0; round < 40; ++round) {
      bytes b(length);
      for (auto& x : b) x = static_cast<std::uint8_t>(random());
      if (length >= 4 && round % 2 == 0) std::copy_n(tags[round / 2 % 6], 4, b.begin());
      const std::string line = shown(b);
      ASSERT_EQ(line.rfind(stamp + " ", 0), 0u);
      for (char c : line) ASSERT_TRUE(c >= 0x20 && c < 0x7f) << line;
    }
  }
}

}  // namespace
}  // namespace mirx::logrx
