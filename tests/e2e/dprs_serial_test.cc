// Position output through the real binary: a pseudo-terminal stands in for
// the serial port, a node sends a position report in the slow data of its
// voice packets, and the test reads the bytes the server writes to the port.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/pty.h"
#include "e2e/server_process.h"

namespace mirx::e2e {
namespace {

// An APRS position line as a radio sends it, then a GPS sentence, whose
// line end must reach the port without being turned into CR LF.
const std::string report =
    "$$CRCB9B5,A>API705:!3540.00N/13945.00E>\r"
    "$GPGGA,123519,3540.00,N,13945.00,E,1,08,0.9,545.4,M,46.9,M,,*4D\r\n";

// Sends the stream that carries `text` from node `from`.
std::vector<bytes> send_report(conference_fixture& f, int from, const std::string& text) {
  const std::vector<bytes> stream = position_stream(text, 0x4321);
  for (const bytes& b : stream) f.send(from, b);
  return stream;
}

std::string port_config(const pty& p, const std::string& more) {
  return "DprsComPort=" + p.name + ";\n" + more;
}

// The port is set up raw, 8N1, for exclusive use; a rate it does not support
// is reported and the port keeps its own. Either way the report reaches the
// port while the relay goes on unchanged.
TEST(DprsSerial, PositionReportReachesTheRawPortWhileTheRelayGoesOn) {
  const struct {
    const char* rate;
    speed_t speed;
    std::string message;
  } rows[] = {{"4800", B4800, ""},
              {"12345", B1200, ": baud rate 12345 not supported, rate left unchanged\n"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.rate);
    pty p;
    REQUIRE_PTY(p);
    p.set_speed(B1200);
    conference_fixture f(3);
    f.start({}, port_config(p, "DprsSW=ON;\nDprsBaudRate=" + std::string(r.rate) + ";\n"));
    const termios t = p.line();
    EXPECT_EQ(cfgetospeed(&t), r.speed);
    EXPECT_EQ(cfgetispeed(&t), r.speed);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_TRUE(p.exclusive());
    const std::string out = f.server.out();
    EXPECT_EQ(out.find("D-PRS port /dev/" + p.name + r.message) != std::string::npos,
              !r.message.empty())
        << out;

    register_all(f);
    const std::vector<bytes> stream = send_report(f, 0, report);
    EXPECT_EQ(p.read(report.size(), 3000), report);
    EXPECT_EQ(p.read(1, 300), "");  // and nothing else: filler and sync are not data
    EXPECT_EQ(received(f.nodes[1], stream.size()), stream);
    EXPECT_EQ(received(f.nodes[2], stream.size()), stream);
    EXPECT_EQ(received(f.nodes[0], 12).size(), 12u);  // the sender hears only the answer
  }
}

// "on" in lower case does not switch the output on.
TEST(DprsSerial, SwitchedOffThePortIsNeitherOpenedNorWritten) {
  pty p;
  REQUIRE_PTY(p);
  p.set_speed(B1200);
  const termios before = p.line();
  conference_fixture f(2);
  f.start({}, port_config(p, "DprsSW=on;\nDprsBaudRate=4800;\n"));
  register_all(f);
  const std::vector<bytes> stream = send_report(f, 0, report);
  EXPECT_EQ(received(f.nodes[1], stream.size()), stream);
  EXPECT_EQ(p.read(1, 300), "");
  const termios after = p.line();
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_FALSE(p.exclusive());
  EXPECT_EQ(f.server.out().find("D-PRS"), std::string::npos);
}

TEST(DprsSerial, MissingDeviceIsReportedAndTheServerRelays) {
  conference_fixture f(2);
  f.start({}, "DprsSW=ON;\nDprsComPort=nosuch;\n");
  EXPECT_NE(f.server.out().find("D-PRS port /dev/nosuch open error : No such file or directory "
                                "(running without D-PRS output)\n"),
            std::string::npos)
      << f.server.out();
  register_all(f);
  const std::vector<bytes> stream = send_report(f, 0, report);
  EXPECT_EQ(received(f.nodes[1], stream.size()), stream);
}

}  // namespace
}  // namespace mirx::e2e
