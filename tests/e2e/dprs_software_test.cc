// Position reports read by real software that we did not write: the server's
// D-PRS port is one end of a linked pseudo-terminal pair, gpsd or the APRS
// iGate aprx reads the other end, and mirx_node transmits the reports. Each
// test is skipped when its program is not installed.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "e2e/pty.h"
#include "e2e/server_process.h"

namespace mirx::e2e {
namespace {

// The program's full path in the system directories, or "".
std::string find_program(const std::string& name) {
  for (const char* dir : {"/usr/local/sbin/", "/usr/local/bin/", "/usr/sbin/", "/usr/bin/"})
    if (::access((dir + name).c_str(), X_OK) == 0) return dir + name;
  return "";
}

// A loopback TCP port that nobody listens on.
std::uint16_t free_tcp_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof at;
  ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len);
  ::close(fd);
  return ntohs(at.sin_port);
}

// A server with D-PRS output on the link's server side and one registered
// node, so that transmissions are delivered.
class DprsSoftware : public ::testing::Test {
 protected:
  pty_link link;
  conference_fixture conf{1};

  void SetUp() override {
    REQUIRE_PTY(link.server_side);
    REQUIRE_PTY(link.program_side);
    conf.start({}, "DprsSW=ON;\nDprsComPort=" + link.server_side.name + ";\n");
    register_all(conf);
  }

  // mirx_node transmit from 127.0.0.3 with `args`, which must succeed.
  void transmit(std::vector<std::string> args) const {
    args.insert(args.begin(), {"transmit", "--server", "127.0.0.1", "--bind", "127.0.0.3",
                               "--flat-out", "--in-port", std::to_string(conf.in_port),
                               "--out-port", std::to_string(conf.out_port)});
    server_process tool;
    tool.start_program(MIRX_NODE_PATH, args);
    EXPECT_EQ(tool.wait_exit(10000), 0) << tool.out() << tool.err();
  }
};

// The number after "key": in a line of JSON, or NaN.
double json_number(const std::string& line, const std::string& key) {
  const std::size_t at = line.find("\"" + key + "\":");
  return at == std::string::npos ? NAN : std::strtod(line.c_str() + at + key.size() + 3, nullptr);
}

// gpsd takes the GPS-mode report (RMC and GGA) as from a receiver on a
// serial line and gives its clients the position that was sent.
TEST_F(DprsSoftware, GpsdReportsThePositionSentInGpsMode) {
  const std::string gpsd = find_program("gpsd"), gpspipe = find_program("gpspipe");
  if (gpsd.empty() || gpspipe.empty()) GTEST_SKIP() << "gpsd or gpspipe not installed";
  // Its own control socket and port, so that it meets no other gpsd; -n
  // reads the device at once, -b never writes to it, -N stays in front.
  const std::string port = std::to_string(free_tcp_port());
  server_process daemon;
  daemon.start_program(gpsd, {"-n", "-N", "-b", "-D", "1", "-F", daemon.dir() + "/control", "-S",
                              port, link.program_device()});
  // gpspipe does not wait for gpsd to listen: it is started again until it
  // is watching, within a bound.
  std::unique_ptr<server_process> client;
  for (int tries = 0; tries < 20; ++tries) {
    client = std::make_unique<server_process>();
    client->start_program(gpspipe, {"-w", "-x", "15", "127.0.0.1:" + port});
    if (client->wait_for("\"class\":\"WATCH\"", 500)) break;
    client->wait_exit(500);
  }
  ASSERT_TRUE(client->wait_for("\"class\":\"WATCH\"", 1)) << client->out() << daemon.err();

  transmit({"--my-call", "N1TEST", "--gps", "48.1173,-11.51667,520", "--text", "mirx gps test",
            "--frames", "84"});
  // RMC alone makes a 2D fix; with GGA's altitude it is 3D.
  ASSERT_TRUE(client->wait_for("\"mode\":3", 10000)) << client->out() << daemon.err();
  const std::string out = client->out();
  const std::size_t at = out.rfind('\n', out.find("\"mode\":3")) + 1;
  const std::string fix = out.substr(at, out.find('\n', at) - at);
  std::printf("gpsd reported: %s\n", fix.c_str());
  EXPECT_NEAR(json_number(fix, "lat"), 48.1173, 1e-6) << fix;
  EXPECT_NEAR(json_number(fix, "lon"), -11.51667, 1e-6) << fix;
  EXPECT_NEAR(json_number(fix, "altMSL"), 520, 0.1) << fix;
}

// aprx, an APRS iGate, in its D-PRS mode checks the CRC of every GPS-A line
// and says so; a line with a wrong CRC shows that it does look.
TEST_F(DprsSoftware, AprxAcceptsTheCrcOfTheGpsALine) {
  const std::string aprx = find_program("aprx");
  if (aprx.empty()) GTEST_SKIP() << "aprx not installed";
  server_process igate;
  const std::string d = igate.dir();
  // The APRS-IS server is a loopback port nobody answers on: aprx only
  // needs one named to run.
  igate.write_file(
      "aprx.conf",
      "mycall N1TEST-1\n<aprsis>\n  server 127.0.0.1 " + std::to_string(free_tcp_port()) +
          "\n</aprsis>\n<logging>\n  pidfile " + d + "/aprx.pid\n  aprxlog " + d +
          "/aprx.log\n  dprslog " + d + "/dprs.log\n  erlangfile " + d +
          "/erlang\n</logging>\n"
          "<interface>\n  serial-device " +
          link.program_device() + " 9600 8n1 DPRS\n  callsign N1TEST-1\n</interface>\n");
  igate.start_program(aprx, {"-dd", "-i", "-f", d + "/aprx.conf"});
  ASSERT_TRUE(igate.wait_for("OPEN - fd=", 5000)) << igate.out() << igate.err();

  transmit({"--my-call", "OH3BK  D", "--aprs", "61.4705,23.892,/-,mirx aprs test"});
  ASSERT_TRUE(igate.wait_for("Good DPRS APRS CRC", 10000)) << igate.out();
  const std::string out = igate.out();
  const std::string good = out.substr(out.find("Good DPRS APRS CRC"));
  std::printf("aprx reported: %s\n", good.substr(0, good.find('\n')).c_str());
  EXPECT_NE(good.find("OH3BK-D>APIMRX,DSTAR*:!6128.23N/02353.52E-mirx aprs test"),
            std::string::npos)
      << good;
  EXPECT_EQ(out.find("Bad DPRS APRS CRC"), std::string::npos);

  // The example line with its last CRC digit changed.
  transmit(
      {"--my-call", "OH3BK", "--position",
       "$$CRCB728,OH3BK-D>APRATS,DSTAR*:@165340h6128.23N/02353.52E-D-RATS (GPS-A) /A=000377\r"});
  EXPECT_TRUE(igate.wait_for("Bad DPRS APRS CRC", 10000)) << igate.out();
  // Stopped by its own signal, aprx also ends the APRS-IS process it started,
  // which holds its output open; that takes it about five seconds.
  igate.signal(SIGTERM);
  EXPECT_EQ(igate.wait_exit(10000), 0);
}

}  // namespace
}  // namespace mirx::e2e
