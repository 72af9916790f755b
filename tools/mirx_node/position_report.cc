#include "mirx_node/position_report.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "nodelib/slow_stream.h"

namespace mirx::node_tool {
namespace {

// The comma-separated fields of `text`, at most `most`: the last one keeps
// any further commas.
std::vector<std::string> split(const std::string& text, std::size_t most) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  while (parts.size() + 1 < most) {
    const std::size_t comma = text.find(',', at);
    if (comma == std::string::npos) break;
    parts.push_back(text.substr(at, comma - at));
    at = comma + 1;
  }
  parts.push_back(text.substr(at));
  return parts;
}

std::optional<double> number_within(const std::string& text, double low, double high) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(v >= low && v <= high)) return std::nullopt;
  return v;
}

// LAT,LON from the first two fields, or the fault.
std::string read_place(const std::string& option, const std::string& value,
                       const std::vector<std::string>& parts, fix& f) {
  const auto lat = parts.size() >= 2 ? number_within(parts[0], -90, 90) : std::nullopt;
  const auto lon = parts.size() >= 2 ? number_within(parts[1], -180, 180) : std::nullopt;
  if (!lat || !lon)
    return option + " wants LAT,LON in decimal degrees (-90 to 90, -180 to 180), not \"" + value +
           "\"";
  f.lat = *lat;
  f.lon = *lon;
  return "";
}

bool is_symbol(const std::string& s) {
  const bool table = s.size() == 2 && (s[0] == '/' || s[0] == '\\' || std::isdigit(s[0]) ||
                                       std::isupper(static_cast<unsigned char>(s[0])));
  return table && s[1] > 0x20 && s[1] < 0x7F;
}

// An angle as degrees and minutes in units of 10^-`decimals` minute, rounded
// once so that 59.9999 never prints as 60 minutes: "DD(D)MM.m..." then the
// hemisphere letter.
std::string degrees_minutes(double angle, int degree_digits, int decimals, char positive,
                            char negative) {
  const long long scale = decimals == 2 ? 100 : 10000;
  const long long units = std::llround(std::fabs(angle) * 60 * static_cast<double>(scale));
  const long long per_degree = 60 * scale;
  char text[32];
  std::snprintf(text, sizeof text, "%0*lld%02lld.%0*lld%c", degree_digits, units / per_degree,
                units % per_degree / scale, decimals, units % scale,
                angle < 0 ? negative : positive);
  return text;
}

// The NMEA form: "DDMM.mmmm,N".
std::string nmea_angle(double angle, int degree_digits, char positive, char negative) {
  std::string s = degrees_minutes(angle, degree_digits, 4, positive, negative);
  s.insert(s.size() - 1, ",");
  return s;
}

bool is_call_character(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) || std::isupper(static_cast<unsigned char>(c));
}

}  // namespace

std::string read_gps(const std::string& option, const std::string& value, fix& out) {
  const std::vector<std::string> parts = split(value, 4);
  fix f;
  if (parts.size() > 3) return option + " wants LAT,LON[,ALT], not \"" + value + "\"";
  if (std::string why = read_place(option, value, parts, f); !why.empty()) return why;
  if (parts.size() == 3) {
    f.alt = number_within(parts[2], -1000, 100000);
    if (!f.alt)
      return option + " wants the altitude in metres from -1000 to 100000, not \"" + parts[2] +
             "\"";
  }
  out = f;
  return "";
}

std::string read_aprs(const std::string& option, const std::string& value, aprs_request& out) {
  const std::vector<std::string> parts = split(value, 4);
  aprs_request r;
  if (std::string why = read_place(option, value, parts, r.where); !why.empty()) return why;
  // A third field of two characters that make a symbol is the symbol; an
  // empty one keeps the default; anything else begins the comment.
  std::size_t comment_from = 2;
  if (parts.size() > 2 && (parts[2].empty() || is_symbol(parts[2]))) {
    if (!parts[2].empty()) r.symbol = parts[2];
    comment_from = 3;
  }
  for (std::size_t i = comment_from; i < parts.size(); ++i)
    r.comment += (i > comment_from ? "," : "") + parts[i];
  if (r.comment.size() > aprs_comment_limit)
    return "APRS comment \"" + r.comment + "\" (" + option + ") is longer than " +
           std::to_string(aprs_comment_limit) + " bytes";
  for (const char c : r.comment)
    if (c < 0x20 || c > 0x7E || c == '|' || c == '~')
      return "APRS comment \"" + r.comment + "\" (" + option +
             ") may hold printable ASCII only, without | and ~";
  out = r;
  return "";
}

std::optional<std::string> aprs_source(const std::string& my_call) {
  const std::size_t space = my_call.find(' ');
  std::string base = my_call.substr(0, space), ssid;
  if (space != std::string::npos && my_call.size() == 8 && my_call[7] != ' ')
    ssid = my_call.substr(7);
  if (const std::size_t dash = base.find('-'); dash != std::string::npos && ssid.empty())
    ssid = base.substr(dash + 1), base.resize(dash);
  bool ok = !base.empty() && base.size() <= 6 && ssid.size() <= 2;
  for (const char c : base + ssid) ok = ok && is_call_character(c);
  if (!ok || (my_call.find('-') != std::string::npos && ssid.empty())) return std::nullopt;
  return ssid.empty() ? base : base + "-" + ssid;
}

std::string gps_report(const fix& f, const std::string& my_call, const std::string& message,
                       std::time_t utc) {
  std::tm t{};
#ifdef _WIN32
  gmtime_s(&t, &utc);
#else
  gmtime_r(&utc, &t);
#endif
  char time[32], date[32], alt[32] = "";
  std::snprintf(time, sizeof time, "%02d%02d%02d.00", t.tm_hour, t.tm_min, t.tm_sec);
  std::snprintf(date, sizeof date, "%02d%02d%02d", t.tm_mday, t.tm_mon + 1, t.tm_year % 100);
  if (f.alt) std::snprintf(alt, sizeof alt, "%.1f", *f.alt);
  const std::string lat = nmea_angle(f.lat, 2, 'N', 'S'), lon = nmea_angle(f.lon, 3, 'E', 'W');
  // Fix valid, not moving, from eight satellites: what a receiver with a
  // good view of the sky reports.
  std::string report = slow::nmea_sentence("GPRMC," + std::string(time) + ",A," + lat + "," + lon +
                                           ",0.0,0.0," + date + ",,,A");
  report += slow::nmea_sentence("GPGGA," + std::string(time) + "," + lat + "," + lon +
                                ",1,08,1.0," + alt + ",M,,M,,");
  std::string id = my_call;
  id.resize(8, ' ');
  std::string text = message;
  text.resize(slow::text_length, ' ');
  return report + id + "," + text + "\r\n";
}

std::string aprs_report(const aprs_request& r, const std::string& source) {
  // '!': a position without time stamp, from a station without messaging.
  const std::string position = degrees_minutes(r.where.lat, 2, 2, 'N', 'S') + r.symbol[0] +
                               degrees_minutes(r.where.lon, 3, 2, 'E', 'W') + r.symbol[1];
  return slow::gps_a_line(source + ">" + aprs_destination + ",DSTAR*:!" + position + r.comment);
}

}  // namespace mirx::node_tool
