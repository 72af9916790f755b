// The operator controls' pure parts: the access-list rules, the state-file
// format, the gate's screening and its limit on lines, and the new keys.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "controls/access_rules.h"
#include "controls/access_watch.h"
#include "controls/gate.h"
#include "controls/idle_expiry.h"
#include "controls/state_file.h"
#include "controls/table_keeper.h"
#include "node/registration.h"
#include "nodelib/packets.h"
#include "unit/harness.h"

namespace mirx {
namespace {

using testing::ip;

TEST(AccessRules, RefusesABadFileWholeNamingTheLine) {
  struct row {
    const char* text;
    int bad_line;  // 0: the file is good
    const char* fault;
  };
  const row rows[] = {
      {"allow DL*   # comment\n\n  # only a comment\ndeny DL9BAD\r\n", 0, ""},
      {"ALLOW 192.0.2.0/24\nDeny 203.0.113.7\nallow ?K*\n", 0, ""},
      {"allow DL1\npermit DL2\n", 2, "\"allow\" or \"deny\" expected"},
      {"deny\n", 1, "pattern or an address expected"},
      {"deny DL1 DL2\n", 1, "more than one pattern"},
      {"allow 1.2.3.4/33\n", 1, "not an IPv4 address"},
      {"allow 1.2.3.256\n", 1, "not an IPv4 address"},
      {"allow 1.2.3\n", 1, "not an IPv4 address"},
      {"allow 1.2.3.4/\n", 1, "not an IPv4 address"},
      {"\n\ndeny DL1ABCDEF9\n", 3, "longer than 8"},
      {"deny DL\x01X\n", 1, "unprintable"},
      // What looks like an address must be one, never a pattern that cannot match.
      {"deny 10.0.0.*\n", 1, "not an IPv4 address"},
      {"deny 10.*\n", 1, "not an IPv4 address"},
      {"deny -1.2.3.4\n", 1, "not an IPv4 address"},
      {"deny 0001.2.3.4\n", 1, "not an IPv4 address"},
      {"deny 1.2.3.4/08\n", 1, "not an IPv4 address"},
      {"deny 10\n", 1, "not an IPv4 address"},
      {"\xef\xbb\xbf"
       "allow 2E0*\n",
       0, ""},  // a byte-order mark; a call sign may start with a digit
      {"# nothing but comments\n\n", 0, "no rule in the file"},
      {"", 0, "no rule in the file"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    const access_parse p = parse_access_rules(r.text);
    EXPECT_EQ(p.rules.has_value(), r.bad_line == 0 && r.fault[0] == '\0');
    EXPECT_EQ(p.line, r.bad_line);
    EXPECT_NE(p.fault.find(r.fault), std::string::npos) << p.fault;
  }
}

TEST(AccessRules, AdmitsByCallSignOrAddress) {
  const access_rules with_allow = *parse_access_rules(
                                       "allow DL*\nallow 192.0.2.0/24\ndeny DL9BAD\n"
                                       "deny 192.0.2.66\ndeny *X?Q\nallow W1AW\n")
                                       .rules;
  const access_rules deny_only = *parse_access_rules("deny 10.0.0.0/8\ndeny k?abc\n").rules;
  struct row {
    const access_rules* rules;
    const char* call;
    std::uint32_t from;
    bool admitted;
  };
  const row rows[] = {
      {&with_allow, "DL1ABC", ip(10, 1, 1, 1), true},     // allowed call, any address
      {&with_allow, "dl1abc  ", ip(10, 1, 1, 1), true},   // any case, trailing spaces
      {&with_allow, "G4XYZ", ip(192, 0, 2, 9), true},     // allowed network
      {&with_allow, "G4XYZ", ip(10, 1, 1, 1), false},     // allow rules exist, none matches
      {&with_allow, "DL9BAD", ip(192, 0, 2, 9), false},   // deny call beats allow address
      {&with_allow, "DL1ABC", ip(192, 0, 2, 66), false},  // deny address beats allow call
      {&with_allow, "DL1XAQ", ip(192, 0, 2, 9), false},   // '*' and '?' in a deny
      {&with_allow, "W1AW", ip(1, 1, 1, 1), true},        // exact pattern
      {&with_allow, "W1AWX", ip(1, 1, 1, 1), false},
      {&with_allow, "W1A", ip(1, 1, 1, 1), false},   // shorter than the exact pattern
      {&deny_only, "G4XYZ", ip(11, 0, 0, 1), true},  // no allow rule: all but the denied
      {&deny_only, "G4XYZ", ip(10, 255, 0, 1), false},
      {&deny_only, "K1ABC", ip(11, 0, 0, 1), false},
      {&deny_only, "K12ABC", ip(11, 0, 0, 1), true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.call);
    EXPECT_EQ(r.rules->admits(r.call, r.from), r.admitted);
  }
}

// The compiled patterns answer as each pattern by itself would: random sets over
// a small alphabet, so stars and question marks meet (almost) matching calls.
TEST(AccessRules, PatternSetAnswersAsEachPatternByItself) {
  std::mt19937 random(30);
  const auto word = [&](std::size_t least, std::size_t most) {
    std::string w(least + random() % (most + 1 - least), ' ');
    for (char& c : w) c = "AB1*?"[random() % 5];
    return w;
  };
  for (int round = 0; round < 300; ++round) {
    pattern_set set;
    std::vector<std::string> patterns(1 + round % 12);
    for (std::string& p : patterns) set.add(p = word(1, 7));
    for (int i = 0; i < 20; ++i) {
      const std::string call = word(0, 8);
      const bool each = std::any_of(patterns.begin(), patterns.end(), [&](const std::string& p) {
        return callsign_matches(p, call);
      });
      ASSERT_EQ(set.matches(call), each) << call << " / " << patterns[0];
    }
  }
}

TEST(StateFile, KeepsEveryByteOfEveryCallSign) {
  std::mt19937 random(7);
  std::vector<node_entry> entries(300);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    node_entry& e = entries[i];
    // Values of 0 to 8 bytes, any byte but zero, which ends a value.
    for (std::size_t k = 0, length = i % 9; k < 8; ++k)
      (k < length ? e.call1[k] : e.call2[k - length]) = static_cast<char>(1 + random() % 255);
    e.call1[0] = static_cast<char>(i % 255 + 1);  // call1 differs from entry to entry
    e.call1[1] = static_cast<char>(i / 255 + 1);
    e.ip = static_cast<std::uint32_t>(random());
  }
  std::string fault;
  const auto back = parse_state(format_state(entries), &fault);
  ASSERT_TRUE(back) << fault;
  ASSERT_EQ(back->size(), entries.size());
  const auto fields = [](const node_entry& e) { return std::tuple(e.call1, e.call2, e.ip); };
  for (std::size_t i = 0; i < entries.size(); ++i)
    EXPECT_EQ(fields((*back)[i]), fields(entries[i])) << i;
  node_entry quoted{callsign_of("A\"B\\C D"), callsign_of("\n"), ip(192, 0, 2, 10)};
  EXPECT_EQ(format_state({quoted}),
            "mirx-server node table 1\n\"A\\x22B\\x5cC D\" \"\\x0a\" 192.0.2.10\nend 1\n");
}

TEST(StateFile, RefusesADamagedFile) {
  const std::string head = "mirx-server node table 1\n";
  const char* bodies[] = {
      "",                               // no end line: cut short
      "\"A\" \"B\" 1.2.3.4\n",          // cut short
      "\"A\" \"B\" 1.2.3.4\nend 2\n",   // count wrong
      "\"A\" \"B\" 1.2.3.4\nend 1\nx",  // text after the end
      "\"A\" \"B\" 1.2.3\nend 1\n",     // bad address
      "\"A\" \"B\" 1.2.3.256\nend 1\n",
      "\"A\\x00\" \"B\" 1.2.3.4\nend 1\n",                  // zero byte inside a value
      "\"123456789\" \"B\" 1.2.3.4\nend 1\n",               // longer than a call sign
      "\"A\" \"B\" 1.2.3.4\n\"A\" \"C\" 1.2.3.5\nend 2\n",  // one call1 twice
      "\"A\\x4\" \"B\" 1.2.3.4\nend 1\n",                   // half an escape
      "\"A\" \"B\" 4294967297.2.3.4\nend 1\n",              // an octet that would wrap to 1
  };
  std::string fault;
  EXPECT_FALSE(parse_state("mirx-server node table 2\nend 0\n", &fault));
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    EXPECT_FALSE(parse_state(head + body, &fault));
  }
  EXPECT_TRUE(parse_state(head + "end 0\n", &fault));
  const auto upper_hex = parse_state(head + "\"\\x4A\" \"B\" 1.2.3.4\nend 1\n", &fault);
  ASSERT_TRUE(upper_hex) << fault;
  EXPECT_EQ((*upper_hex)[0].call1, callsign_of("J"));
}

// A refusal flood writes a few lines a second and one summary, and counts
// every refusal.
TEST(Gate, RefusalsAreCountedButLinesBounded) {
  testing::harness h;
  node_gate g;
  g.screening = true;
  g.max_nodes = 1;
  h.conf.table.append({callsign_of("A"), {}, ip(10, 0, 0, 1)});
  for (int i = 0; i < 1000; ++i)
    EXPECT_FALSE(screen_datagram(g, h.conf,
                                 nodes::make_registration("B" + std::to_string(i), "GW").data(),
                                 reg::size, ip(10, 1, 0, 1)));
  report_held(g, h.out);
  const std::string console = h.console_text();
  // Five lines and a summary; ten if the second changed in the middle.
  EXPECT_LE(std::count(console.begin(), console.end(), '\n'),
            2 * static_cast<long>(report_limit::lines_per_second) + 1)
      << console;
  EXPECT_NE(
      console.find("TS Registration refused B0       GW       10.1.0.1: table full (MaxNodes)\n"),
      std::string::npos);
  EXPECT_NE(console.find(" since start\n"), std::string::npos);
  EXPECT_EQ(g.limit.total(), 1000u);
  EXPECT_EQ(h.log_text(), console);
}

// A directory of its own for the files of one test.
struct scratch {
  std::string dir =
      std::filesystem::temp_directory_path() / ("mirx_ctl_" + std::to_string(getpid()));
  scratch() { std::filesystem::create_directories(dir); }
  ~scratch() { std::filesystem::remove_all(dir); }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(dir + "/" + name, std::ios::binary) << text;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(dir + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

TEST(AccessWatch, AChangeTakesEffectOnlyOnceTwoLooksFoundTheSameText) {
  scratch s;
  testing::harness h;
  node_gate g;
  g.access_list = g.closed = true;
  access_watch w;
  w.path = s.dir + "/access.txt";
  s.write("access.txt", "allow A*\n");
  read_access_at_start(w, g, h.conf);
  ASSERT_FALSE(g.closed);
  struct step {
    const char* text;  // written before the look; null: unchanged
    const char* admitted;
  };
  const step steps[] = {
      {"allow B*\n", "A1"}, {nullptr, "B1"},                        // seen twice: in force
      {"allow C*\n", "B1"}, {"allow D*\n", "B1"},                   // caught while still changing
      {nullptr, "D1"},      {"allow E*\n", "D1"},                   // the last text seen twice wins
      {"allow D*\n", "D1"}, {"allow E*\n", "D1"}, {nullptr, "E1"},  // back and forth
  };
  for (const step& st : steps) {
    if (st.text != nullptr) s.write("access.txt", st.text);
    look_at_access(w, g, h.conf);
    SCOPED_TRACE(st.text != nullptr ? st.text : "unchanged");
    EXPECT_TRUE(g.rules.admits(st.admitted, 0));
  }
  // Unreadable for a while, then back as it was: nothing is reloaded.
  const std::size_t said = h.console_text().size();
  std::filesystem::remove(w.path);
  look_at_access(w, g, h.conf);
  s.write("access.txt", "allow E*\n");
  for (int i = 0; i < 2; ++i) look_at_access(w, g, h.conf);
  const std::string after = h.console_text().substr(said);
  EXPECT_NE(after.find("cannot be read"), std::string::npos) << after;
  EXPECT_EQ(after.find("reloaded"), std::string::npos) << after;
}

TEST(TableKeeper, AFailedSaveIsSaidOnceAndTriedAgainAtTheNextChangeOrTheStop) {
  scratch s;
  testing::harness h;
  table_keeper k{s.dir + "/gone/nodes.state"};
  h.conf.table.append({callsign_of("A"), callsign_of("GW"), ip(10, 0, 0, 1)});
  for (int i = 0; i < 3; ++i) save_table(k, h.conf, false);
  h.conf.table.append({callsign_of("B"), callsign_of("GW"), ip(10, 0, 0, 2)});
  save_table(k, h.conf, false);
  std::filesystem::create_directory(s.dir + "/gone");
  save_table(k, h.conf, false);  // no change since the last try: not tried
  EXPECT_FALSE(std::filesystem::exists(k.path));
  save_table(k, h.conf, true);
  const std::string console = h.console_text();
  EXPECT_EQ(std::count(console.begin(), console.end(), '\n'), 2) << console;
  EXPECT_NE(console.find("cannot be saved: No such file or directory;"), std::string::npos);
  EXPECT_NE(console.find("nodes.state saved again\n"), std::string::npos) << console;
  std::string fault;
  const auto back = parse_state(s.read("gone/nodes.state"), &fault);
  ASSERT_TRUE(back) << fault;
  EXPECT_EQ(back->size(), 2u);
}

// The restore admits what a registration would (the table limit here), and a
// stop cuts it short without a save of the part restored.
TEST(TableKeeper, RestoreAdmitsAsRegistrationDoesAndAStopCutsItShort) {
  struct row {
    std::size_t entries, max_nodes;
    bool (*stopping)();
    const char* line;
    std::size_t kept, saved_at_stop;
  };
  const row rows[] = {
      {3, 2, [] { return false; }, "2 entries restored, 1 refused\n", 2, 2},
      {600, 0, [] { return true; }, "restore stopped after 255 entries\n", 255, 600},
  };
  for (const row& r : rows) {
    scratch s;
    testing::harness h;
    std::vector<node_entry> saved(r.entries);
    for (std::size_t i = 0; i < saved.size(); ++i)
      saved[i] = {callsign_of(("N" + std::to_string(i)).c_str()), callsign_of("GW"),
                  ip(10, 0, 1, 1)};
    s.write("nodes.state", format_state(saved));
    table_keeper k{s.dir + "/nodes.state"};
    node_gate g;
    g.max_nodes = r.max_nodes;
    restore_table(k, g, h.conf, r.stopping);
    EXPECT_NE(h.console_text().find(r.line), std::string::npos) << h.console_text();
    EXPECT_EQ(h.conf.table.size(), r.kept);
    EXPECT_EQ(h.net.records.size(), r.kept);
    save_table(k, h.conf, true);
    std::string fault;
    const auto back = parse_state(s.read("nodes.state"), &fault);
    ASSERT_TRUE(back) << fault;
    EXPECT_EQ(back->size(), r.saved_at_stop) << "a restore cut short saves nothing";
  }
}

// An entry is timed from its own registration, not from the entry that was at
// its address before; sweeps run at 900 ms and every second after.
TEST(IdleExpiry, AnEntryIsTimedFromItsOwnRegistration) {
  testing::harness h;
  idle_expiry idle(4);
  const auto arrive = [&](std::int64_t at, const char* call, int host) {
    idle.heard(h.conf.table, ip(127, 0, 0, host), at);
    register_node(h.conf, ip(127, 0, 0, host), nodes::make_registration(call, "GW").data());
  };
  arrive(0, "DL1XXXXX", 2);
  idle.sweep(h.conf, 900);
  arrive(1000, "DL1XXXXX", 3);  // moves away from .2
  arrive(1500, "DL1YYYYY", 2);
  std::int64_t gone_at = 900;
  while (gone_at < 9000 && h.conf.table.find(callsign_of("DL1YYYYY")) != nullptr)
    idle.sweep(h.conf, gone_at += 1000);
  EXPECT_GE(gone_at, 5500);  // four silent seconds after its own registration
  EXPECT_LT(gone_at, 6600);
}

}  // namespace
}  // namespace mirx
