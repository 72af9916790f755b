#pragma once

// The two kinds of D-PRS position report a radio sends, as the node tool
// writes and reads them.
//
// GPS (NMEA) mode: the sentences $GPRMC and $GPGGA, each "*hh" and CR LF,
// then the 29-byte identification line: the call sign padded to 8 bytes, a
// comma, the 20-byte message padded with spaces; CR LF.
// GPS-A (APRS) mode: one line "$$CRCxxxx," + an APRS packet in TNC2 text +
// CR, the position in the uncompressed form DDMM.mmN/DDDMM.mmE.

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace mirx::node_tool {

struct fix {
  double lat = 0;             // degrees, north positive
  double lon = 0;             // degrees, east positive
  std::optional<double> alt;  // metres above mean sea level
};

struct aprs_request {
  fix where;
  std::string symbol = "/>";  // symbol table, symbol code
  std::string comment;
};

// The destination of our GPS-A packets: "API" as radios use, and our code.
inline constexpr const char aprs_destination[] = "APIMRX";
// An APRS comment after an uncompressed position holds at most 43 bytes.
inline constexpr std::size_t aprs_comment_limit = 43;

// --gps LAT,LON[,ALT] and --aprs LAT,LON[,SYMBOL][,COMMENT]: store the value
// and return an empty text, or return the fault.
std::string read_gps(const std::string& option, const std::string& value, fix& out);
std::string read_aprs(const std::string& option, const std::string& value, aprs_request& out);

// The APRS source for a D-STAR call sign: the characters up to the first
// space, and where the call sign fills its eight bytes with a space before
// the last one ("OH3BK  D"), that last character as the SSID ("OH3BK-D").
// Nothing when the result is no APRS call sign (letters and digits, an
// optional "-" and one or two letters or digits, at most 9 bytes).
std::optional<std::string> aprs_source(const std::string& my_call);

// The report bytes for the moment `utc`.
std::string gps_report(const fix& f, const std::string& my_call, const std::string& message,
                       std::time_t utc);
std::string aprs_report(const aprs_request& r, const std::string& source);

// What the listener prints for the position bytes of a stream: one line per
// distinct report (with its count when repeated), checked and decoded, or
// the raw bytes when they hold no report of either kind.
std::vector<std::string> describe_position(const std::string& bytes);

}  // namespace mirx::node_tool
