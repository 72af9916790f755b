#include "dashboard/event_stream.h"

namespace mirx::dashboard::sse {

std::string retry_field() {
  return "retry: " + std::to_string(retry_ms) + "\n";
}

std::string begin(std::string_view id, std::string_view name) {
  std::string text;
  if (!name.empty()) text.append("event: ").append(name).append("\n");
  if (!id.empty()) text.append("id: ").append(id).append("\n");
  return text + "data: ";
}

std::string event(std::string_view id, std::string_view data, std::string_view name) {
  return begin(id, name).append(data).append(end);
}

}  // namespace mirx::dashboard::sse
