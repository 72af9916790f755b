// Prometheus text exposition of the dashboard's state.

#include "dashboard/metrics.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

#ifndef MIRX_DASHBOARD_VERSION
#define MIRX_DASHBOARD_VERSION "unknown"
#endif

namespace mirx::dashboard {
namespace {

// Taken while the program is loaded, before main runs.
const double started_seconds =
    std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();

// A label value, as the scraper reads it once the format's own escapes are
// undone: every control character (C0, DEL, and C1, which call_text makes
// U+0080..U+009F) is \xNN as the page shows it, and a backslash of the call
// sign is doubled, so that the text "\x01" and the byte 0x01 stay distinct
// series and no control character reaches a scraper or a terminal. Then the
// format's escapes: backslash and double quote.
std::string label(std::string_view text) {
  std::string out;
  const auto escaped = [&out](unsigned byte) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\\\x%02x", byte);
    out += hex;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
    if (byte == '\\')
      out += "\\\\\\\\";
    else if (byte == '"')
      out += "\\\"";
    else if (byte < 0x20 || byte == 0x7f)
      escaped(byte);
    else if (byte == 0xc2 && next >= 0x80 && next <= 0x9f)
      escaped(next), ++i;
    else
      out += text[i];
  }
  return out;
}

void metric(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void sample(std::string& out, const std::string& name_and_labels, double value) {
  char number[32];
  std::snprintf(number, sizeof number, "%.15g", value);
  out += name_and_labels + ' ' + number + '\n';
}

std::string node_labels(const node_row& n) {
  return "{call1=\"" + label(call_text(n.call1)) + "\",call2=\"" + label(call_text(n.call2)) + "\"";
}

void per_node(std::string& out, const state& s, const view& v) {
  metric(out, "mirx_dashboard_node_info", "gauge",
         "One series per registered node, value 1; the address label only when shown.");
  for (const auto& [call1, n] : s.nodes) {
    std::string labels = "mirx_dashboard_node_info" + node_labels(n);
    // A node's series stays as it always was; a DExtra row says what it is.
    if (n.how != connection::node)
      labels += ",connection=\"" + std::string(connection_name(n.how)) + "\"";
    if (const auto a = shown_address(n.ip, v.addresses)) labels += ",address=\"" + *a + "\"";
    sample(out, labels + "}", 1);
  }
  metric(out, "mirx_dashboard_node_last_header_timestamp_seconds", "gauge",
         "When the last header came through each registered node, Unix time; 0 before the "
         "first.");
  for (const auto& [call1, n] : s.nodes)
    sample(out, "mirx_dashboard_node_last_header_timestamp_seconds" + node_labels(n) + "}",
           static_cast<double>(n.last_header) / 1000.0);
}

void feed(std::string& out, const state& s) {
  const feed_counters& c = s.count;
  metric(out, "mirx_dashboard_records_total", "counter", "Records received, by tag.");
  for (const record::kind& k : record::kinds)
    sample(out, "mirx_dashboard_records_total{tag=\"" + std::string(k.name()) + "\"}",
           static_cast<double>(c.records[record::index_of(k)]));
  metric(out, "mirx_dashboard_node_rows_dropped_total", "counter",
         "Node rows dropped, oldest first, to keep the table within its limit.");
  sample(out, "mirx_dashboard_node_rows_dropped_total", static_cast<double>(c.rows_dropped));
  metric(out, "mirx_dashboard_datagrams_rejected_total", "counter",
         "Datagrams from a source not allowed to send records.");
  sample(out, "mirx_dashboard_datagrams_rejected_total", static_cast<double>(s.count.rejected));
  metric(out, "mirx_dashboard_datagrams_malformed_total", "counter",
         "Datagrams that are not a record: wrong length or unknown tag.");
  sample(out, "mirx_dashboard_datagrams_malformed_total", static_cast<double>(s.count.malformed));
  metric(out, "mirx_dashboard_last_record_timestamp_seconds", "gauge",
         "When the last record came, Unix time; 0 before the first.");
  sample(out, "mirx_dashboard_last_record_timestamp_seconds",
         static_cast<double>(s.last_record) / 1000.0);
}

void process(std::string& out) {
  metric(out, "mirx_dashboard_build_info", "gauge", "The dashboard's version, value 1.");
  sample(out, "mirx_dashboard_build_info{version=\"" MIRX_DASHBOARD_VERSION "\"}", 1);
  metric(out, "mirx_dashboard_process_start_time_seconds", "gauge",
         "When the dashboard started, Unix time.");
  sample(out, "mirx_dashboard_process_start_time_seconds", started_seconds);
}

}  // namespace

std::string metrics_state_text(const state& s, const view& v) {
  std::string out;
  metric(out, "mirx_dashboard_nodes_registered", "gauge",
         "Nodes in the server's table as the records since its last start tell (no DExtra rows).");
  std::size_t by_how[3] = {};
  for (const auto& [call1, n] : s.nodes) ++by_how[static_cast<int>(n.how)];
  sample(out, "mirx_dashboard_nodes_registered", static_cast<double>(by_how[0]));
  metric(out, "mirx_dashboard_rows", "gauge",
         "Rows shown among the nodes, by how each is connected: node, DExtra client or link.");
  for (const connection how :
       {connection::node, connection::dextra_client, connection::dextra_link})
    sample(out, "mirx_dashboard_rows{connection=\"" + std::string(connection_name(how)) + "\"}",
           static_cast<double>(by_how[static_cast<int>(how)]));
  metric(out, "mirx_dashboard_headers_relayed_total", "counter",
         "Deprecated, to be removed: the same as records_total{tag=\"ACC\"}, headers received "
         "whether or not any node heard them.");
  sample(out, "mirx_dashboard_headers_relayed_total",
         static_cast<double>(s.count.of(record::tag_acc)));
  feed(out, s);
  process(out);
  per_node(out, s, v);
  return out;
}

std::string metrics_serving_text(const serving_figures& serving) {
  std::string out;
  metric(out, "mirx_dashboard_event_streams", "gauge", "Open live-page event streams.");
  sample(out, "mirx_dashboard_event_streams", serving.streams);
  metric(out, "mirx_dashboard_event_streams_refused_total", "counter",
         "Event streams refused (503) because the total or the per-address cap was reached, "
         "or the budgets of bytes held had no room.");
  sample(out, "mirx_dashboard_event_streams_refused_total",
         static_cast<double>(serving.streams_refused));
  return out;
}

std::string metrics_text(const state& s, const view& v, const serving_figures& serving) {
  return metrics_state_text(s, v) + metrics_serving_text(serving);
}

std::string metrics_text(const state& s, const view& v, int streams) {
  return metrics_text(s, v, serving_figures{streams, 0});
}

}  // namespace mirx::dashboard
