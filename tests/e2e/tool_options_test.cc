// The command lines of both tools, read by their one shared parser: the
// forms they accept, the one style in which they refuse, and the exit status
// of each.

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/documented.h"
#include "e2e/server_process.h"

namespace mirx::e2e {
namespace {

TEST(ToolOptions, BothToolsReadAndRefuseCommandLinesAlike) {
  const std::string tx = "transmit --server 127.0.0.1 --my-call N1TEST";
  const struct {
    bool node;  // mirx_node, else mirx_logrx
    std::string args;
    int status;
    std::string begins;  // what the tool prints first, after "TOOL: " unless it is the usage;
                         // all it prints when a line, with the usage hint if `hinted`
    bool hinted = true;
  } rows[] = {
      // Accepted: both forms, fractions of seconds.
      {false, "--timeout 0.3 --port=0 --bind 127.0.0.1", 0, "listening on"},
      {false, "--count=1 --timeout=0.2 --bind=127.0.0.1 --port 0", 1, "listening on"},
      {false, "--help", 0, "usage: mirx_logrx"},
      {true, "transmit --help", 0, "usage: mirx_node"},
      // Refused: the option at fault, and nothing after it, is named.
      {false, "--frob --timeout 1", 2, "unknown option \"--frob\"\n"},
      {false, "--timeout 0,3", 2,
       "--timeout wants seconds above 0 and up to 1000000, not \"0,3\"\n"},
      {false, "--bind --timeout 1", 2, "--bind needs a value\n"},
      {false, "--port 65536", 2, "--port wants a port number from 0 to 65535, not \"65536\"\n"},
      {false, "--help=yes", 2, "--help takes no value\n"},
      {false, "stray", 2, "unexpected argument \"stray\"\n"},
      {false, "--bind 999.0.0.1", 2,
       "--bind wants an IPv4 address such as 127.0.0.2, not \"999.0.0.1\"\n"},
      {false, "--bind=127.0.0.01", 2,
       "--bind wants an IPv4 address such as 127.0.0.2, not \"127.0.0.01\"\n"},
      // Five characters, ten bytes: the field holds bytes.
      {true, "register --server h --call1 \xC3\x84\xC3\x96\xC3\x9C\xC3\x84\xC3\x96", 2,
       "call sign \"\xC3\x84\xC3\x96\xC3\x9C\xC3\x84\xC3\x96\" (--call1) is longer than 8 bytes\n"},
      {true, "disconnect --server h --call1 N1TEST", 2, "--call1 does not apply to disconnect\n"},
      {true, tx + " --stay-registered", 2, "--stay-registered needs --call1\n"},
      {true, tx + " --gps 91,0", 2,
       "--gps wants LAT,LON in decimal degrees (-90 to 90, -180 to 180), not \"91,0\"\n"},
      {true, tx + " --gps 1,2 --aprs 1,2", 2, "--position, --gps and --aprs exclude each other\n"},
      {true, "transmit --server h --my-call N1/TEST --aprs 1,2", 2,
       "--aprs needs a --my-call that makes an APRS call sign"},
      // Refused before anything is sent: half a report is never sent.
      {true, tx + " --gps 1,2 --frames 21", 2,
       "--frames 21 is too short for the whole position report: it needs 70 frames\n", false},
  };
  for (const auto& r : rows) {
    const std::string name = r.node ? "mirx_node" : "mirx_logrx";
    SCOPED_TRACE(name + " " + r.args);
    std::istringstream words(r.args);
    server_process p;
    p.start_program(r.node ? MIRX_NODE_PATH : MIRX_LOGRX_PATH,
                    {std::istream_iterator<std::string>(words), {}});
    EXPECT_EQ(p.wait_exit(5000), r.status) << p.err();
    const std::string shown = p.err() + p.out();  // one of the two is empty
    const std::string want = (r.begins.starts_with("usage") ? "" : name + ": ") + r.begins;
    EXPECT_EQ(shown.substr(0, want.size()), want);
    if (r.status == 2 && want.ends_with("\n")) {
      EXPECT_EQ(shown, want + (r.hinted ? name + " --help shows the usage\n" : ""));
    }
    if (!r.hinted) {
      EXPECT_TRUE(documented(shown.substr(0, shown.size() - 1), "docs/mirx_node.md"));
    }
  }
}

}  // namespace
}  // namespace mirx::e2e
