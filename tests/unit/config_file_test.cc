#include "config/config_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "unit/harness.h"

namespace {

namespace fs = std::filesystem;
using mirx::output;
using mirx::settings;
using namespace std::string_literals;

// A fresh, empty directory, removed with its contents.
struct temp_dir {
  fs::path path;
  temp_dir() {
    std::string pattern = (fs::temp_directory_path() / "mirx_config_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
  }
  ~temp_dir() { fs::remove_all(path); }
};

// Works inside `dir` until destroyed, for the default file in the working directory.
struct inside {
  fs::path before = fs::current_path();
  explicit inside(const fs::path& dir) { fs::current_path(dir); }
  ~inside() { fs::current_path(before); }
};

void write_file(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
}

struct result {
  settings s;
  std::string console;
  std::string refused;
};

// Reads `path` (or none) into default settings, collecting the console text.
result run(const char* path, bool debug) {
  mirx::testing::captured console;
  output out;
  out.console = console.file();
  out.debug = debug;
  result r;
  r.refused = mirx::read_config_file(path, r.s, out);
  r.console = console.text();
  return r;
}

result run_text(const std::string& bytes, bool debug) {
  temp_dir dir;
  write_file(dir.path / "test.cfg", bytes);
  return run((dir.path / "test.cfg").c_str(), debug);
}

std::string dbg(const std::string& body) {
  return "\n*** Debug on Config File\n" + body + "*** Debug Exit\n\n";
}

void expect_settings(const settings& want, const settings& got) {
  EXPECT_EQ(want.in_port, got.in_port);
  EXPECT_EQ(want.out_port, got.out_port);
  EXPECT_EQ(want.log_port, got.log_port);
  EXPECT_STREQ(want.log_file_name, got.log_file_name);
  EXPECT_STREQ(want.log_server, got.log_server);
  EXPECT_STREQ(want.dprs_com_port, got.dprs_com_port);
  EXPECT_EQ(want.dprs_sw, got.dprs_sw);
  EXPECT_EQ(want.dprs_baud_rate, got.dprs_baud_rate);
}

struct file_case {
  const char* name;
  std::string file;
  bool debug;
  void (*change)(settings&);  // from the defaults to what the file gives; null: defaults
  std::string console;
};

void check_cases(const std::vector<file_case>& cases) {
  for (const file_case& c : cases) {
    SCOPED_TRACE(c.name);
    const result r = run_text(c.file, c.debug);
    settings want;
    if (c.change != nullptr) c.change(want);
    expect_settings(want, r.s);
    EXPECT_EQ(c.console, r.console);
  }
}

TEST(ConfigFile, KeysEchoAndComments) {
  check_cases({
      {"every key with its echo",
       "InPort=1001;\nOutPort=1002;\nLogPort=1003;\nLogFileName=my.log;\nLogServer=log.example;\n"
       "DprsComPort=ttyS1;\nDprsSW=ON;\nDprsBaudRate=4800;\n",
       true,
       [](settings& s) {
         s.in_port = 1001;
         s.out_port = 1002;
         s.log_port = 1003;
         s.dprs_sw = true;
         s.dprs_baud_rate = 4800;
         std::strcpy(s.log_file_name, "my.log");
         std::strcpy(s.log_server, "log.example");
         std::strcpy(s.dprs_com_port, "ttyS1");
       },
       dbg("InPort : 1001\nOutPort : 1002\nLogPort : 1003\nLogFileName : my.log\n"
           "LogServer : log.example\nDprsComPort : ttyS1\nDprsSW : ON\nDprsBaud : 4800\n")},
      {"empty file keeps defaults", "", true, nullptr, dbg("")},
      {"comments need no ';'", "# InPort=1;\n   #InPort=2\n", false, nullptr, ""},
      {"'#' after the key start is text", "InPort=5;#\nx#InPort=6;\n", false,
       [](settings& s) { s.in_port = 5; }, "Config file error : x#InPort=6;\n\n\n"},
      {"last line wins", "InPort=1;\nInPort=2;\n", false, [](settings& s) { s.in_port = 2; }, ""},
      {"text after ';' is a remark", "InPort=5; port = 7;\n", false,
       [](settings& s) { s.in_port = 5; }, ""},
  });
}

TEST(ConfigFile, LineSyntax) {
  check_cases({
      {"spaces before a key", "   InPort=5;\n", false, [](settings& s) { s.in_port = 5; }, ""},
      {"tab before a key", "\tInPort=5;\n", false, nullptr,
       "Config file error : \tInPort=5;\n\n\n"},
      {"lower-case key", "inport=5;\n", false, nullptr, "Config file error : inport=5;\n\n\n"},
      {"six-letter port keys", "OutPor=7;\nLogPor = 8;\n", false,
       [](settings& s) {
         s.out_port = 7;
         s.log_port = 8;
       },
       ""},
      {"trailing spaces kept, leading spaces skipped, tab kept", "LogServer=  \thost ;\n", false,
       [](settings& s) { std::strcpy(s.log_server, "\thost "); }, ""},
      {"empty text values", "LogServer=x;\nLogServer=;\nLogFileName=;\n", false,
       [](settings& s) { s.log_file_name[0] = '\0'; }, ""},
      {"';' alone", ";\n", false, nullptr, "Config file error : ;\n\n\n"},
      {"spaces only", "   \n", false, nullptr, "Not found ';' in  :    \n\n"},
      {"no ';', reading goes on", "InPort=5\nOutPort=6;\n", false,
       [](settings& s) { s.out_port = 6; }, "Not found ';' in  : InPort=5\n\n"},
      {"key without '='", "InPort 5;\nLogServer;=h\nOutPort=6;\n", false,
       [](settings& s) { s.out_port = 6; },
       "Config file error : InPort 5;\n\n\nConfig file error : LogServer;=h\n\n\n"},
      {"byte-order mark is text", "\xEF\xBB\xBFInPort=5;\n\xEF\xBB\xBF# c\n", false, nullptr,
       "Config file error : \xEF\xBB\xBFInPort=5;\n\n\nNot found ';' in  : \xEF\xBB\xBF# c\n\n"},
  });
}

TEST(ConfigFile, FileBytesAndPieces) {
  check_cases({
      {"CR LF lines", "InPort=5;\r\nLogServer=ab\r;\r\n\r\n", false,
       [](settings& s) {
         s.in_port = 5;
         std::strcpy(s.log_server, "ab");
       },
       "Not found ';' in  : \n\n"},
      {"Ctrl-Z ends the file", "InPort=5;\n\x1AOutPort=6;\n", false,
       [](settings& s) { s.in_port = 5; }, ""},
      {"Ctrl-Z inside a line", "InPort=7\x1A;\n", false, nullptr, "Not found ';' in  : InPort=7\n"},
      {"zero byte ends the text of its line", "InPort=1\0;\nOutPort=2;\0x\nLogPort=3;\n"s, false,
       [](settings& s) {
         s.out_port = 2;
         s.log_port = 3;
       },
       "Not found ';' in  : InPort=1\n"},
      {"last line without newline", "InPort=5;", false, [](settings& s) { s.in_port = 5; }, ""},
      {"254 characters read whole", "InPort=5;" + std::string(245, ' ') + "\n", false,
       [](settings& s) { s.in_port = 5; }, ""},
      {"255 characters leave the newline as a piece", "InPort=5;" + std::string(246, ' ') + "\n",
       false, [](settings& s) { s.in_port = 5; }, "Not found ';' in  : \n\n"},
      {"rest of a long comment is a line", "#" + std::string(299, 'c') + "\n", false, nullptr,
       "Not found ';' in  : " + std::string(45, 'c') + "\n\n"},
      {"setting in the second piece", "#" + std::string(254, 'c') + "InPort=9;\n", false,
       [](settings& s) { s.in_port = 9; }, ""},
  });
}

TEST(ConfigFile, OverlongValuesAreCut) {
  check_cases({
      {"127 characters fit", "LogFileName=" + std::string(127, 'n') + ";\n", false,
       [](settings& s) { std::memset(s.log_file_name, 'n', 127); }, ""},
      {"128 characters", "LogFileName=" + std::string(128, 'n') + ";\n", false,
       [](settings& s) { std::memset(s.log_file_name, 'n', 127); },
       "Config file: LogFileName value cut to 127 characters\n"},
      {"long server name", "LogServer=" + std::string(200, 's') + ";\n", true,
       [](settings& s) { std::memset(s.log_server, 's', 127); },
       dbg("Config file: LogServer value cut to 127 characters\nLogServer : " +
           std::string(127, 's') + "\n")},
      {"port name of 6 fits", "DprsComPort=ttyS10;\n", false,
       [](settings& s) { std::strcpy(s.dprs_com_port, "ttyS10"); }, ""},
      {"port name of 7", "DprsComPort=ttyUSB0;\n", false,
       [](settings& s) { std::strcpy(s.dprs_com_port, "ttyUSB"); },
       "Config file: DprsComPort value cut to 6 characters\n"},
  });
}

TEST(ConfigFile, NumbersAndSwitch) {
  struct number_case {
    std::string value;
    int stored;
  };
  const number_case numbers[] = {
      {"+42", 42},
      {"-42", -42},
      {"12ab", 12},
      {"", 0},
      {"\t 77", 77},
      {"- 5", 0},
      {"+-5", 0},
      {"70000", 70000},
      {"4294967297", 1},
      {"2147483648", INT32_MIN},
      {"99999999999999999999", 1661992959},
  };
  for (const number_case& c : numbers) {
    SCOPED_TRACE(c.value);
    const result port = run_text("InPort=" + c.value + ";\n", true);
    EXPECT_EQ(c.stored, port.s.in_port);
    EXPECT_EQ(dbg("InPort : " + std::to_string(c.stored) + "\n"), port.console);
    EXPECT_EQ(c.stored, run_text("DprsBaudRate=" + c.value + ";\n", false).s.dprs_baud_rate);
  }

  struct switch_case {
    std::string lines;
    bool on;
    std::string echo;
  };
  const switch_case switches[] = {
      {"DprsSW=ON;\n", true, "DprsSW : ON\n"},
      {"DprsSW=  ONx ;\n", true, "DprsSW : ONx \n"},
      {"DprsSW=on;\n", false, "DprsSW : on\n"},
      {"DprsSW=\tON;\n", false, "DprsSW : \tON\n"},
      {"DprsSW=ON;\nDprsSW=OFF;\n", true, "DprsSW : ON\nDprsSW : OFF\n"},
  };
  for (const switch_case& c : switches) {
    SCOPED_TRACE(c.lines);
    const result r = run_text(c.lines, true);
    EXPECT_EQ(c.on, r.s.dprs_sw);
    EXPECT_EQ(dbg(c.echo), r.console);
  }
}

// The keys of the operator controls: each reaches its own setting, by its
// compared prefix, and is echoed as stored.
TEST(ConfigFile, ControlsKeysStoreAndEcho) {
  struct key_case {
    std::string line;
    bool (*stored)(const settings&);
    std::string echo;
  };
  const key_case keys[] = {
      {"AccessFile=a.rules;",
       [](const settings& s) { return std::strcmp(s.access_file, "a.rules") == 0; },
       "AccessFile : a.rules\n"},
      {"RelayUnregisteredX=OFF;", [](const settings& s) { return !s.relay_unregistered; },
       "RelayUnregistered : OFF\n"},
      {"MaxNodes=-3;", [](const settings& s) { return s.max_nodes == -3; }, "MaxNodes : -3\n"},
      {"StateFile=t.state;",
       [](const settings& s) { return std::strcmp(s.state_file, "t.state") == 0; },
       "StateFile : t.state\n"},
      {"LogVoice=OFF;", [](const settings& s) { return !s.log_voice; }, "LogVoice : OFF\n"},
      {"NodeIdleTimeout=99999999999999;",
       [](const settings& s) { return s.node_idle_timeout == std::int64_t{1} << 40; },
       "NodeIdleTimeout : 1099511627776\n"},
      {"LogStreams=ON;", [](const settings& s) { return s.log_streams; }, "LogStreams : ON\n"},
      {"LogHeartbeat=7;", [](const settings& s) { return s.log_heartbeat == 7; },
       "LogHeartbeat : 7\n"},
  };
  for (const key_case& k : keys) {
    SCOPED_TRACE(k.line);
    const result r = run_text(k.line + "\n", true);
    EXPECT_TRUE(k.stored(r.s));
    EXPECT_EQ(dbg(k.echo), r.console);
    expect_settings(settings{}, r.s);
  }
}

// A value of ours that is not a whole number in range is refused naming the
// key and the value as written; an original key keeps its lenient reading.
TEST(ConfigFile, SettingsThatCannotBeUsedAreRefused) {
  const std::string counts = ": give a number from 0 to 2147483647\n";
  // Each row: lines, and the refusal (none: accepted).
  const std::pair<std::string, std::string> cases[] = {
      {"MaxNodes=none;", "MaxNodes=none is not a whole number" + counts},
      {"LogHeartbeat=1e3;",
       "LogHeartbeat=1e3 is not a whole number: give a number from 1 to 3600\n"},
      {"MaxNodes=;", "MaxNodes= is not a whole number" + counts},
      {"MaxNodes=-5;", "MaxNodes=-5 is out of range" + counts},
      {"MaxNodes=99999999999999999999;", "MaxNodes=99999999999999999999 is out of range" + counts},
      {"LogHeartbeat= 3601 ;", "LogHeartbeat=3601 is out of range: give a number from 1 to 3600\n"},
      {"MaxNodes=x;\nMaxNodes=2147483647;", ""},
      {"MaxNodes=\t+12 ;\nNodeIdleTimeout=0;\nLogHeartbeat=3600;\nEchoCall=ECHOTEST;", ""},
      {"InPort=abc;", "InPort=0 is port 0: give a port from 1 to 65535\n"},
      {"OutPort=65536;", "OutPort=65536 is port 0: give a port from 1 to 65535\n"},
      {"InPort=65537x;\nLogPort=0;\nDprsBaudRate=fast;", ""},
      {"MaxNodes=-1;\nInPort=0;", "InPort=0 is port 0: give a port from 1 to 65535\n"},
      {"EchoCall=ECHOTEST1;", "EchoCall=ECHOTEST1 is too long: give at most 8 characters\n"},
      {"MaxOverSeconds=" + std::string(250, ' ') + "120;",
       "MaxOverSeconds is on a line longer than 254 characters: write it on a shorter line\n"},
      {"InPort=" + std::string(250, ' ') + "5;\nMaxOverSeconds=9;" + std::string(250, '#'), ""},
  };
  for (const auto& [lines, refused] : cases)
    EXPECT_EQ(refused, run_text(lines + "\n", false).refused) << lines;
  EXPECT_EQ(dbg("MaxNodes : 1,000\n"), run_text("MaxNodes=1,000;\n", true).console);
}

// Over the whole key table: every key reachable (no earlier row's compared
// prefix takes its lines), and every number of ours strict with bounds.
TEST(ConfigKeys, EveryKeyReachableAndEveryNumberOfOursBounded) {
  const auto keys = mirx::config_keys();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const mirx::key_entry& k = keys[i];
    SCOPED_TRACE(k.name);
    EXPECT_GT(k.compared, 0u);
    EXPECT_LE(k.compared, std::strlen(k.name));
    for (std::size_t j = 0; j < i; ++j)
      EXPECT_NE(0, std::strncmp(k.name, keys[j].name, std::min(k.compared, keys[j].compared)))
          << "collides with " << keys[j].name;
    const bool number = std::holds_alternative<std::int32_t settings::*>(k.where) ||
                        std::holds_alternative<std::int64_t settings::*>(k.where);
    EXPECT_EQ(k.bounds.check == mirx::key_check::whole_number,
              k.origin == mirx::key_origin::added && number);
    EXPECT_LE(k.bounds.low, k.bounds.high);
  }
}

// The switches other than DprsSW: a value beginning "ON" or "OFF" sets them,
// any other leaves them as they were.
TEST(ConfigFile, SwitchesTakeTheBeginningOfTheirValue) {
  const std::pair<std::string, std::string> cases[] = {
      // lines, LogVoice and LogStreams after
      {"LogVoice=OFFX;\nLogStreams=  ONX;", "01"},
      {"LogVoice=OFF;\nLogVoice=yes;\nLogStreams=ON;\nLogStreams=on;", "01"},
      {"LogVoice=off;\nLogStreams=1;", "10"},
      {"LogVoice=\tOFF;\nLogStreams=OF;", "10"},
  };
  for (const auto& [lines, want] : cases) {
    const settings got = run_text(lines + "\n", false).s;
    EXPECT_EQ(std::string(1, '0' + got.log_voice) + char('0' + got.log_streams), want) << lines;
  }
}

// Whether a setting holds the same value in two settings records.
bool same_setting(const mirx::key_field& where, const settings& a, const settings& b) {
  return std::visit(
      [&](auto f) {
        if constexpr (std::is_array_v<std::remove_reference_t<decltype(a.*f)>>)
          return std::strcmp(a.*f, b.*f) == 0;
        else
          return a.*f == b.*f;
      },
      where);
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string source_text(const char* name) {
  std::ifstream in(fs::path(MIRX_SOURCE_DIR) / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every key of the table is in each sample configuration (read under -d, so
// the echo names it, with nothing refused or reported), at its default in the
// plain sample, in the manual page and in the README's key table.
TEST(ConfigKeys, EveryKeyIsInTheSamplesTheEchoTheManualAndTheReadme) {
  // The service's sample places its files, on purpose: not at the defaults.
  const std::pair<const char*, bool> samples[] = {{"mirx_server.cfg", true},
                                                  {"dist/mirx_server.cfg.in", false}};
  const std::string manual = source_text("man/mirx_server.cfg.5.scd");
  const std::string readme = source_text("README.md");
  ASSERT_FALSE(manual.empty());
  for (const auto& [name, at_defaults] : samples) {
    SCOPED_TRACE(name);
    const result r = run((fs::path(MIRX_SOURCE_DIR) / name).c_str(), true);
    EXPECT_EQ("", r.refused);
    for (const char* fault : {"Not found", "Config file error", "value cut"})
      EXPECT_FALSE(has(r.console, fault)) << r.console;
    for (const mirx::key_entry& k : mirx::config_keys()) {
      SCOPED_TRACE(k.name);
      EXPECT_TRUE(has(r.console, "\n"s + k.echoed() + " : ")) << "not in the echo";
      EXPECT_TRUE(!at_defaults || same_setting(k.where, r.s, settings{}));
    }
  }
  for (const mirx::key_entry& k : mirx::config_keys()) {
    EXPECT_TRUE(has(manual, "*"s + k.name + "=")) << k.name << " not in the manual page";
    EXPECT_TRUE(has(readme, "| `"s + k.name + "` |")) << k.name << " not in the README's table";
  }
}

// The text from `from` to the next line that begins with `to`.
std::string part(const std::string& text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  return at == std::string::npos ? "" : text.substr(at, text.find(to, at + 1) - at);
}

// Every refusal the key table makes, as the server prints it, is in the one
// list of docs/messages.md; the manual has every key under KEYS and each
// number's range in its entry and under NUMBERS, and the README's table row
// has that range too.
TEST(ConfigKeys, EveryRefusalAndRangeIsInTheMessagesTheManualAndTheReadme) {
  const std::string messages = source_text("docs/messages.md");
  const std::string manual = source_text("man/mirx_server.cfg.5.scd");
  const std::string readme = source_text("README.md");
  const std::string keys = part(manual, "\n# KEYS\n", "\n# ");
  const std::string numbers = part(manual, "\n# NUMBERS\n", "\n# ");
  for (const mirx::key_entry& k : mirx::config_keys()) {
    SCOPED_TRACE(k.name);
    EXPECT_TRUE(has(keys, "\n*"s + k.name + "=")) << "not under KEYS in the manual page";
    const mirx::key_bounds& b = k.bounds;
    using enum mirx::key_check;
    if (b.check == as_read) continue;
    const std::string bad = b.check == port           ? "0"
                            : b.check == whole_number ? std::to_string(b.high + 1)
                                                      : std::string(b.high + 1, 'X');
    std::string line = run_text(k.name + "="s + bad + ";\n", false).refused;
    ASSERT_FALSE(line.empty());
    line.replace(std::strlen(k.name) + 1, bad.size(), "VALUE").pop_back();
    EXPECT_TRUE(has(messages, "| `" + line + "` |")) << line << " not in docs/messages.md";
    if (b.check != whole_number) continue;
    const std::string range = "from " + std::to_string(b.low) + " to " + std::to_string(b.high);
    EXPECT_TRUE(has(part(keys, "\n*"s + k.name + "=", "\n\n"), range)) << "manual: " << range;
    EXPECT_TRUE(has(numbers, "*"s + k.name + "*")) << "not under NUMBERS";
    EXPECT_TRUE(has(part(readme, "| `"s + k.name + "` |", "\n"), range)) << "README: " << range;
  }
}

TEST(ConfigFile, WhichFileIsRead) {
  struct open_case {
    const char* name;
    const char* path;  // relative to the working directory, or none
    bool default_file;
    bool debug;
    int in_port;
    std::string console;
  };
  const open_case cases[] = {
      {"no path, no default file", nullptr, false, true, 39999,
       "Config file open error : (null)\n"},
      {"no path, default file", nullptr, true, false, 1, ""},
      {"missing -f file falls back", "missing.cfg", true, false, 1, ""},
      {"both missing name the -f path", "missing.cfg", false, false, 39999,
       "Config file open error : missing.cfg\n"},
      {"-f file wins over the default", "given.cfg", true, false, 2, ""},
      {"a directory does not open", "subdir", true, false, 1, ""},
      {"a directory alone", "subdir", false, false, 39999, "Config file open error : subdir\n"},
  };
  for (const open_case& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    write_file(dir.path / "given.cfg", "InPort=2;\n");
    fs::create_directory(dir.path / "subdir");
    if (c.default_file) write_file(dir.path / "mirx_server.cfg", "InPort=1;\n");
    const inside here(dir.path);
    const result r = run(c.path, c.debug);
    EXPECT_EQ(c.in_port, r.s.in_port);
    EXPECT_EQ(c.console, r.console);
  }
}

// The DExtra keys: each line is taken or refused as a whole, and the door
// and links need a call sign to speak as.
TEST(ConfigFile, DExtraKeys) {
  const std::string call_fault = "is not a call sign: give 3 to 7 letters and digits\n";
  const std::string missing =
      "DExtraCall is missing: DExtraPort and DExtraLink need the call sign the server speaks "
      "as\n";
  const std::pair<std::string, std::string> cases[] = {
      {"DExtraPort=0;DExtraCall=;", ""},
      {"DExtraPort=30001;\nDExtraCall=XRF123;", ""},
      {"DExtraPort=30001;", missing},
      {"DExtraLink=XRF001 B ref.example;", missing},
      {"DExtraPort=65536;", "DExtraPort=65536 is out of range: give a number from 0 to 65535\n"},
      {"DExtraCall=XRF1234;", ""},
      {"DExtraCall=XRF12345;", "DExtraCall=XRF12345 " + call_fault},
      {"DExtraCall=123456;", "DExtraCall=123456 " + call_fault},
      {"DExtraCall=XRF 12;", "DExtraCall=XRF 12 " + call_fault},
      {"DExtraCall=XRF1;\nDExtraLink=XRF001 B ref.example:30002;\nDExtraLink=;", ""},
      {"DExtraCall=XRF1;\nDExtraLink=XRF001 b ref.example;",
       "DExtraLink=XRF001 b ref.example is not CALL MODULE HOST[:PORT]\n"},
      {"DExtraCall=XRF1;\nDExtraLink=XRF001 B ref.example:0;",
       "DExtraLink=XRF001 B ref.example:0 is not CALL MODULE HOST[:PORT]\n"},
      {"DExtraCall=XRF1;\nDExtraLink=XRF001 B;",
       "DExtraLink=XRF001 B is not CALL MODULE HOST[:PORT]\n"},
      {"DExtraCall=XRF1;\nDExtraLink=XRF001 B h x;",
       "DExtraLink=XRF001 B h x is not CALL MODULE HOST[:PORT]\n"},
      {"DExtraCall=XRF1;\nDExtraLink=XRF001 A a;\nDExtraLink=XRF001 B b;\nDExtraLink=XRF001 C "
       "c;\nDExtraLink=XRF001 D d;\nDExtraLink=XRF001 E e;",
       "DExtraLink is given 5 times: give at most 4 links\n"},
  };
  for (const auto& [lines, refused] : cases) {
    SCOPED_TRACE(lines);
    std::string file = lines;
    for (std::size_t at = 0; (at = file.find(';', at)) != std::string::npos; at += 2)
      if (file[at + 1] != '\n') file.insert(at + 1, "\n");
    EXPECT_EQ(refused, run_text(file + "\n", false).refused);
  }
  const result r = run_text("DExtraCall=XRF1;\nDExtraLink=  XRF001 B ref.example:30002 ;\n", true);
  EXPECT_EQ(1, r.s.dextra_links.count);
  EXPECT_STREQ("XRF001 B ref.example:30002", r.s.dextra_links.item[0]);
  EXPECT_EQ(dbg("DExtraCall : XRF1\nDExtraLink : XRF001 B ref.example:30002\n"), r.console);
}

}  // namespace
