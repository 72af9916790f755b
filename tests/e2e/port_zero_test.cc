// A port whose low 16 bits are 0, or a limit or heartbeat period that is not a
// whole number in range, is refused with a line naming its key.

#include <gtest/gtest.h>
#include <signal.h>

#include "e2e/server_process.h"

namespace mirx::e2e {
namespace {

TEST(PortZero, RefusedOrSaidWithItsKey) {
  struct row {
    std::string config;  // after a free InPort, unless it sets InPort itself
    std::string line;
    int status;  // -1: runs on until stopped
  };
  const std::vector<row> rows = {
      {"InPort=0;\n", "InPort=0 is port 0: give a port from 1 to 65535\n", 3},
      {"InPort=abc;\n", "InPort=0 is port 0: give a port from 1 to 65535\n", 3},
      {"OutPort=65536;\n", "OutPort=65536 is port 0: give a port from 1 to 65535\n", 3},
      {"LogServer=127.0.0.1;\nLogPort=0;\n", "LogPort=0 is port 0: no records are sent\n", -1},
      // A limit asked for and not given would fail open.
      {"MaxNodes=-5;\n", "MaxNodes=-5 is out of range: give a number from 0 to 2147483647\n", 3},
      {"MaxNodes=4294967297;\n", "MaxNodes=4294967297 is out of range", 3},
      {"NodeIdleTimeout=2147483648;\n", "NodeIdleTimeout=2147483648 is out of range", 3},
      {"LogHeartbeat=0;\n", "LogHeartbeat=0 is out of range: give a number from 1 to 3600\n", 3},
      {"LogStreams=ON;\nLogHeartbeat=3601;\n", "LogHeartbeat=3601 is out of range", 3},
      // Read up to the first non-digit these would have failed open.
      {"MaxNodes=none;\n", "MaxNodes=none is not a whole number: give a number from 0 to", 3},
      {"NodeIdleTimeout=1 hour;\n", "NodeIdleTimeout=1 hour is not a whole number", 3},
  };
  for (const row& r : rows) {
    server_process s;
    const bool sets_in_port = r.config.rfind("InPort", 0) == 0;
    s.write_file(
        "mirx_server.cfg",
        (sets_in_port ? "" : "InPort=" + std::to_string(free_udp_port()) + ";\n") + r.config);
    s.start({});
    ASSERT_TRUE(s.wait_for(r.line)) << r.config << s.out();
    if (r.status < 0) s.signal(SIGINT);
    EXPECT_EQ(s.wait_exit(), 3) << r.config;
    EXPECT_EQ(s.out().find("Not assign"), std::string::npos) << s.out();
  }
}

}  // namespace
}  // namespace mirx::e2e
