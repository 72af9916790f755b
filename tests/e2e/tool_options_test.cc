// The command lines of both tools, read by their one shared parser: the
// forms they accept, the one style in which they refuse, and the exit status
// of each.

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/server_process.h"

namespace mirx::e2e {
namespace {

struct row {
  const char* tool;  // MIRX_NODE_PATH or MIRX_LOGRX_PATH
  std::vector<std::string> args;
  int status;
  std::string begins;  // what the tool prints first
};

TEST(ToolOptions, BothToolsReadAndRefuseCommandLinesAlike) {
  const char* node = MIRX_NODE_PATH;
  const char* logrx = MIRX_LOGRX_PATH;
  const std::string tx = "transmit --server 127.0.0.1 --my-call N1TEST";
  const auto words = [](const std::string& line) {
    std::istringstream in(line);
    return std::vector<std::string>(std::istream_iterator<std::string>(in), {});
  };
  const row rows[] = {
      // Accepted: both forms, fractions of seconds.
      {logrx, words("--timeout 0.3 --port=0 --bind 127.0.0.1"), 0, "mirx_logrx: listening on"},
      {logrx, words("--count=1 --timeout=0.2 --bind=127.0.0.1 --port 0"), 1,
       "mirx_logrx: listening on"},
      {logrx, words("--help"), 0, "usage: mirx_logrx"},
      {node, words("transmit --help"), 0, "usage: mirx_node"},
      // Refused: the option at fault, and nothing after it, is named.
      {logrx, words("--frob --timeout 1"), 2,
       "mirx_logrx: unknown option \"--frob\"\nmirx_logrx --help shows the usage\n"},
      {node, words(tx + " --frob --timeout 1"), 2, "mirx_node: unknown option \"--frob\"\n"},
      {logrx, words("--timeout 0,3"), 2,
       "mirx_logrx: --timeout wants seconds above 0 and up to 1000000, not \"0,3\"\n"},
      {logrx, words("--bind --timeout 1"), 2, "mirx_logrx: --bind needs a value\n"},
      {logrx, words("--port 65536"), 2,
       "mirx_logrx: --port wants a port number from 0 to 65535, not \"65536\"\n"},
      {logrx, words("--help=yes"), 2, "mirx_logrx: --help takes no value\n"},
      {logrx, words("stray"), 2, "mirx_logrx: unexpected argument \"stray\"\n"},
      {logrx, words("--bind 999.0.0.1"), 2,
       "mirx_logrx: --bind wants an IPv4 address such as 127.0.0.2, not \"999.0.0.1\"\n"},
      {logrx, words("--bind=127.0.0.01"), 2,
       "mirx_logrx: --bind wants an IPv4 address such as 127.0.0.2, not \"127.0.0.01\"\n"},
      // Five characters, ten bytes: the field holds bytes.
      {node, words("register --server h --call1 \xC3\x84\xC3\x96\xC3\x9C\xC3\x84\xC3\x96"), 2,
       "mirx_node: call sign \"\xC3\x84\xC3\x96\xC3\x9C\xC3\x84\xC3\x96\" (--call1) is longer "
       "than 8 bytes\n"},
      {node, words("disconnect --server h --call1 N1TEST"), 2,
       "mirx_node: --call1 does not apply to disconnect\n"},
      {node, words(tx + " --stay-registered"), 2, "mirx_node: --stay-registered needs --call1\n"},
      {node, words(tx + " --gps 91,0"), 2,
       "mirx_node: --gps wants LAT,LON in decimal degrees (-90 to 90, -180 to 180), not "
       "\"91,0\"\n"},
      {node, words(tx + " --gps 1,2 --aprs 1,2"), 2,
       "mirx_node: --position, --gps and --aprs exclude each other\n"},
      {node, words("transmit --server h --my-call N1/TEST --aprs 1,2"), 2,
       "mirx_node: --aprs needs a --my-call that makes an APRS call sign"},
      // Refused before anything is sent: half a report is never sent.
      {node, words(tx + " --gps 1,2 --frames 40"), 2,
       "mirx_node: --frames 40 is too short for the whole position report: it needs"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(::testing::PrintToString(r.args));
    server_process p;
    p.start_program(r.tool, r.args);
    EXPECT_EQ(p.wait_exit(5000), r.status) << p.err();
    const std::string shown = p.err() + p.out();  // one of the two is empty
    EXPECT_EQ(shown.substr(0, r.begins.size()), r.begins);
  }
}

}  // namespace
}  // namespace mirx::e2e
