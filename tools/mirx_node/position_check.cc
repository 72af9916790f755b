// What the listener makes of received position bytes: each line is checked
// by its own rule (the CRC of a GPS-A line, the checksum of an NMEA
// sentence) before its position is believed.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "nodelib/slow_stream.h"
#include "mirx_node/position_report.h"
#include "mirx_node/stream_monitor.h"

namespace mirx::node_tool {
namespace {

// One received line: its bytes without the line end, and whether the end
// arrived.
struct piece {
  std::string text;
  bool ended = false;
};

// Lines end at CR (GPS-A), CR LF (NMEA) or LF.
std::vector<piece> lines_of(const std::string& bytes) {
  std::vector<piece> out;
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t end = bytes.find_first_of("\r\n", at);
    if (end == std::string::npos) {
      out.push_back({bytes.substr(at), false});
      break;
    }
    out.push_back({bytes.substr(at, end - at), true});
    at = end + (bytes.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  return out;
}

std::optional<unsigned> hex_value(const std::string& text) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text.c_str(), &end, 16);
  if (text.empty() || *end != '\0' || text.find_first_of("+- ") != std::string::npos)
    return std::nullopt;
  return static_cast<unsigned>(v);
}

std::string hex(unsigned value, int digits) {
  char text[8];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

// An angle written DD(D)MM.m... with its hemisphere letter; nothing when the
// text is not one.
std::optional<double> angle(const std::string& digits, std::size_t degree_digits, char hemisphere,
                            char positive, char negative) {
  if (digits.size() < degree_digits + 4 || digits[degree_digits + 2] != '.') return std::nullopt;
  if (hemisphere != positive && hemisphere != negative) return std::nullopt;
  for (std::size_t i = 0; i < digits.size(); ++i)
    if (i != degree_digits + 2 && (digits[i] < '0' || digits[i] > '9')) return std::nullopt;
  const double degrees = std::atof(digits.substr(0, degree_digits).c_str());
  const double minutes = std::atof(digits.substr(degree_digits).c_str());
  if (minutes >= 60) return std::nullopt;
  const double value = degrees + minutes / 60;
  return hemisphere == negative ? -value : value;
}

std::string place_text(double lat, double lon) {
  char text[64];
  std::snprintf(text, sizeof text, "position %.5f %c %.5f %c", std::fabs(lat), lat < 0 ? 'S' : 'N',
                std::fabs(lon), lon < 0 ? 'W' : 'E');
  return text;
}

std::vector<std::string> fields_of(const std::string& text) {
  std::vector<std::string> out(1);
  for (const char c : text) {
    if (c == ',')
      out.emplace_back();
    else
      out.back().push_back(c);
  }
  return out;
}

std::string check_gps_a(const piece& p) {
  const std::string& line = p.text;
  const auto given =
      line.size() >= 10 && line[9] == ',' ? hex_value(line.substr(5, 4)) : std::nullopt;
  if (!given) return "position report refused (GPS-A): no CRC field in " + quoted(line);
  if (!p.ended)
    return "position report incomplete (GPS-A): no carriage return after " + quoted(line);
  const std::uint16_t computed = slow::gps_a_crc(line.substr(10) + "\r");
  if (*given != computed)
    return "position report refused (GPS-A): CRC " + hex(*given, 4) + " given, " +
           hex(computed, 4) + " computed, in " + quoted(line);
  const std::size_t colon = line.find(':', 10), gt = line.find('>', 10);
  std::string info = colon == std::string::npos ? "" : line.substr(colon + 1);
  // Types '/' and '@' carry a 7-byte time stamp before the position.
  if (!info.empty() && (info[0] == '/' || info[0] == '@')) info.erase(1, 7);
  std::optional<double> lat, lon;
  if (info.size() >= 20 && (info[0] == '!' || info[0] == '=' || info[0] == '/' || info[0] == '@')) {
    lat = angle(info.substr(1, 7), 2, info[8], 'N', 'S');
    lon = angle(info.substr(10, 8), 3, info[18], 'E', 'W');
  }
  if (!lat || !lon || gt == std::string::npos || gt > colon)
    return "position report refused (GPS-A, CRC ok): no position in " + quoted(line);
  return place_text(*lat, *lon) + " (GPS-A, CRC ok) from " + line.substr(10, gt - 10);
}

std::string check_nmea(const piece& p) {
  const std::string& line = p.text;
  const std::string name = line.substr(0, line.find(','));
  const std::string kind = "(GPS " + name;
  if (!p.ended)
    return "position report incomplete " + kind + "): no line end after " + quoted(line);
  const std::size_t star = line.rfind('*');
  const auto given = star != std::string::npos && star + 3 == line.size()
                         ? hex_value(line.substr(star + 1))
                         : std::nullopt;
  if (!given) return "position report refused " + kind + "): no checksum in " + quoted(line);
  const std::uint8_t computed = slow::nmea_checksum(line.substr(1, star - 1));
  if (*given != computed)
    return "position report refused " + kind + "): checksum " + hex(*given, 2) + " given, " +
           hex(computed, 2) + " computed, in " + quoted(line);
  const std::vector<std::string> f = fields_of(line.substr(0, star));
  // RMC: time, status, lat, N/S, lon, E/W; GGA: time, lat, N/S, lon, E/W, quality.
  const bool rmc = name.size() == 6 && name.substr(3) == "RMC";
  const bool gga = name.size() == 6 && name.substr(3) == "GGA";
  if (!(rmc || gga)) return "NMEA sentence " + name + " (checksum ok)";
  const std::size_t at = rmc ? 3 : 2;
  if (f.size() < at + 4) return "position report refused " + kind + ", checksum ok): too short";
  const bool valid = rmc ? f[2] == "A" : !f[6].empty() && f[6] != "0";
  if (!valid) return "position report refused " + kind + ", checksum ok): no fix";
  const auto lat = angle(f[at], 2, f[at + 1].empty() ? '?' : f[at + 1][0], 'N', 'S');
  const auto lon = angle(f[at + 2], 3, f[at + 3].empty() ? '?' : f[at + 3][0], 'E', 'W');
  if (!lat || !lon)
    return "position report refused " + kind + ", checksum ok): no position in " + quoted(line);
  return place_text(*lat, *lon) + " " + kind + ", checksum ok)";
}

// Lines seen more than once are shown once, with their count.
std::vector<std::string> counted(const std::vector<std::string>& lines) {
  std::vector<std::pair<std::string, int>> seen;
  for (const std::string& l : lines) {
    bool found = false;
    for (auto& s : seen)
      if (s.first == l) ++s.second, found = true;
    if (!found) seen.emplace_back(l, 1);
  }
  std::vector<std::string> out;
  for (const auto& [line, n] : seen)
    out.push_back(n == 1 ? line : line + ", " + std::to_string(n) + " times");
  return out;
}

}  // namespace

std::vector<std::string> describe_position(const std::string& bytes) {
  std::vector<std::string> lines;
  bool any_report = false;
  for (const piece& p : lines_of(bytes)) {
    const std::string& t = p.text;
    if (t.rfind("$$CRC", 0) == 0) {
      lines.push_back(check_gps_a(p));
    } else if (t.rfind("$G", 0) == 0) {
      lines.push_back(check_nmea(p));
    } else if (t.size() == 29 && t[8] == ',' && p.ended) {
      lines.push_back("identification " + quoted(t.substr(0, 8)) + " " + quoted(t.substr(9)));
      continue;
    } else {
      lines.push_back("position data " + quoted(t));
      continue;
    }
    any_report = true;
  }
  if (!any_report) return {"position " + quoted(bytes)};
  return counted(lines);
}

}  // namespace mirx::node_tool
