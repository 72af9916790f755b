#pragma once

#include <cstdint>

namespace mirx {

// The values of a key that may be given on several lines, each line one
// value, in file order; lines beyond the last item are counted, not kept.
struct text_list {
  static constexpr int most = 4;
  char item[most][128] = {};
  int count = 0;  // lines given, possibly more than `most`
  bool operator==(const text_list&) const = default;
};

// The settings a configuration file can give. Each holds its default until
// the file overwrites it once at start-up; nothing changes them later. The
// operator controls at the end are all off by default, so that a file that
// does not name them leaves the server exactly as it always was.
// Ports are kept as plain integers: only their low 16 bits are ever used.
struct settings {
  static constexpr int text_size = 128;    // at most 127 characters and a terminator
  static constexpr int com_port_size = 7;  // at most 6 characters and a terminator

  std::int32_t in_port = 39999;                     // InPort: where nodes send to us
  std::int32_t out_port = 39998;                    // OutPort: where every node listens
  std::int32_t log_port = 39997;                    // LogPort: where the log server listens
  char log_file_name[text_size] = "MirxServerLog";  // empty: no log file
  char log_server[text_size] = "";                  // empty: no log server
  char dprs_com_port[com_port_size] = "com1";       // serial port name for D-PRS output
  bool dprs_sw = false;                             // DprsSW: D-PRS output on
  std::int32_t dprs_baud_rate = 9600;

  char access_file[text_size] = "";  // AccessFile: allow/deny rules; empty: everyone admitted
  bool relay_unregistered = true;    // RelayUnregistered=OFF: strangers are not relayed
  std::int64_t max_nodes = 0;        // MaxNodes: largest table; 0: no limit
  char state_file[text_size] = "";   // StateFile: where the table survives restarts
  bool log_voice = true;             // LogVoice=OFF: no per-delivery log-file lines
  std::int64_t node_idle_timeout =
      0;                     // NodeIdleTimeout: seconds of silence that end an entry; 0: never
  bool log_streams = false;  // LogStreams=ON: stream, start, heartbeat, stop records
  std::int64_t log_heartbeat = 30;    // LogHeartbeat: seconds between heartbeat records, 1..3600
  bool one_talker = false;            // OneTalker=ON: one stream holds the conference
  std::int64_t max_over_seconds = 0;  // MaxOverSeconds: longest relayed over; 0: no limit
  char echo_call[text_size] = "";     // EchoCall: your_call that asks for an echo test
  bool fast_relay = false;  // FastRelay=ON: fan-outs through connected sockets and io_uring

  // The DExtra door and links: off unless DExtraPort or a DExtraLink is given.
  std::int64_t dextra_port = 0;      // DExtraPort: where DExtra clients link; 0: no door
  char dextra_call[text_size] = "";  // DExtraCall: the reflector call sign spoken there
  text_list dextra_links;            // DExtraLink lines: "CALL M HOST[:PORT]", one link each

  // The largest MaxNodes and NodeIdleTimeout; start-up refuses a value outside 0 to this.
  static constexpr std::int64_t count_max = 2147483647;
};

// The low 16 bits of a configured port, as a port number.
inline std::uint16_t port_of(std::int32_t configured) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(configured) & 0xffffu);
}

}  // namespace mirx
