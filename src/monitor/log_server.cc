#include "monitor/log_server.h"

#include "platform/platform.h"

namespace mirx {

bool resolve_log_server(const settings& cfg, output& out, std::optional<log_destination>& where) {
  where.reset();
  if (cfg.log_server[0] == '\0') {
    out.say(shown::always, "Not assign the log server!!\n");
    return true;
  }
  // Records sent to port 0 would all be lost without a word.
  if (port_of(cfg.log_port) == 0) {
    out.say(shown::always, "LogPort=%d is port 0: no records are sent\n",
            static_cast<int>(cfg.log_port));
    return true;
  }
  // The lookup may take seconds (a name server that does not answer); the
  // caller runs it without the output lock so that a stop is not held up.
  const auto ip = platform::resolve_ipv4(cfg.log_server);
  if (!ip) {
    out.say(shown::always, "Log Server Not Found\n");
    return false;
  }
  where = log_destination{*ip, port_of(cfg.log_port)};
  return true;
}

}  // namespace mirx
