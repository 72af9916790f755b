#pragma once

// The client's end of a DExtra link: the link request and its answer,
// keepalives both ways, the relink after a reflector's silence, the unlink,
// and the DSVT streams that come in, handed on in node framing so the
// stream monitor reads them as it reads a node's.

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "mirx_node/dextra_check.h"
#include "mirx_node/options.h"
#include "mirx_node/session.h"
#include "mirx_node/stream_monitor.h"

namespace mirx::node_tool {

class dextra_client {
 public:
  using clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds keepalive_every{3};
  static constexpr std::chrono::seconds silence_limit{30};

  // A DSVT datagram from the reflector.
  struct arrival {
    nodes::datagram node;  // in node framing
    bool header = false;
    bool copy = false;  // a header copy of the stream already handed on
  };

  dextra_client(const session& s, const options& o);

  // Sends the link request and waits --timeout for the answer, which goes
  // to `report`. Returns exit_ok when accepted, exit_not_delivered when
  // refused; throws tool_error when nothing answered.
  int link();
  // Sends the unlink request; prints nothing.
  void unlink() const;
  // Sends the keepalive when it is due, and relinks after the reflector's
  // silence.
  void tick(clock::time_point now);
  // Takes one received datagram. Link control is dealt with here, telling
  // `report` what an operator should see; DSVT comes back as an arrival.
  std::optional<arrival> take(const nodes::datagram& d, clock::time_point now);

  // RPT2 of what this client sends: --reflector or the reflector's own
  // call sign as it last named itself, with the module letter in its 8th
  // byte; nothing while neither is known.
  std::optional<field> rpt2() const;
  std::size_t keepalives_heard() const { return keepalives_; }
  // "to module B of 192.0.2.10:30001"
  std::string target() const;

  // Prints by default: a line as it happens.
  std::function<void(const std::string&)> report = [](const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };

 private:
  void send_request(char asked) const;
  const session& s_;
  const options& o_;
  std::optional<field> reflector_;
  std::optional<std::string> answer_;  // of the last link request: "ACK", "NAK", ...
  bool refused_ = false;
  std::size_t keepalives_ = 0;
  clock::time_point last_heard_{}, last_sent_{};
  std::optional<stream_id> last_id_;
};

}  // namespace mirx::node_tool
