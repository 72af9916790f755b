// Prometheus text exposition of the dashboard's state.

#include <cstdio>
#include <string>

#include "dashboard/render.h"

namespace mirx::dashboard {
namespace {

// A label value: backslash, double quote and line feed are the only bytes
// the format wants escaped; call signs are first made valid UTF-8.
std::string label(std::string_view text) {
  std::string out;
  for (char ch : text) {
    if (ch == '\\')
      out += "\\\\";
    else if (ch == '"')
      out += "\\\"";
    else if (ch == '\n')
      out += "\\n";
    else
      out += ch;
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

void node_info(std::string& out, const state& s, const view& v) {
  metric(out, "mirx_dashboard_node_info", "gauge",
         "One series per registered node, value 1; the address label only when shown.");
  for (const auto& [call1, n] : s.nodes) {
    std::string labels = "mirx_dashboard_node_info{call1=\"" + label(call_text(n.call1)) +
                         "\",call2=\"" + label(call_text(n.call2)) + "\"";
    if (const auto a = shown_address(n.ip, v.addresses)) labels += ",address=\"" + *a + "\"";
    sample(out, labels + "}", 1);
  }
}

}  // namespace

std::string metrics_text(const state& s, const view& v, int streams) {
  std::string out;
  metric(out, "mirx_dashboard_nodes_registered", "gauge", "Nodes in the server's table.");
  sample(out, "mirx_dashboard_nodes_registered", static_cast<double>(s.nodes.size()));
  metric(out, "mirx_dashboard_headers_relayed_total", "counter",
         "Headers the server relayed (ACC records).");
  sample(out, "mirx_dashboard_headers_relayed_total", static_cast<double>(s.count.acc));
  metric(out, "mirx_dashboard_records_total", "counter", "Records received, by tag.");
  sample(out, "mirx_dashboard_records_total{tag=\"ADD\"}", static_cast<double>(s.count.add));
  sample(out, "mirx_dashboard_records_total{tag=\"DEL\"}", static_cast<double>(s.count.del));
  sample(out, "mirx_dashboard_records_total{tag=\"ACC\"}", static_cast<double>(s.count.acc));
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
  metric(out, "mirx_dashboard_event_streams", "gauge", "Open live-page event streams.");
  sample(out, "mirx_dashboard_event_streams", streams);
  node_info(out, s, v);
  return out;
}

}  // namespace mirx::dashboard
