// mirx_node: an operator's test node that talks to the server like a radio
// node. See docs/mirx_node.md.

#include <cstdio>
#include <exception>

#include "cli/options.h"
#include "mirx_node/commands.h"
#include "mirx_node/options.h"
#include "mirx_node/session.h"
#include "platform/platform.h"

using namespace mirx::node_tool;

int main(int argc, char** argv) {
  // Lines must reach a pipe as they happen, not when the buffer fills.
  mirx::platform::console_by_line();
  const parse_result parsed = parse_command_line(argc, argv);
  if (!parsed.error.empty()) return mirx::cli::refuse("mirx_node", parsed.error);
  try {
    switch (parsed.opts.cmd) {
      case command::help:
        std::fputs(usage_text, stdout);
        return exit_ok;
      case command::register_node:
        return run_register(parsed.opts);
      case command::listen:
        return parsed.opts.dextra ? run_dextra_listen(parsed.opts) : run_listen(parsed.opts);
      case command::transmit:
        return parsed.opts.dextra ? run_dextra_transmit(parsed.opts) : run_transmit(parsed.opts);
      case command::link:
        return run_link(parsed.opts);
      case command::unlink:
        return run_unlink(parsed.opts);
      case command::disconnect:
        return run_disconnect(parsed.opts);
    }
  } catch (const tool_error& e) {
    std::fprintf(stderr, "mirx_node: %s\n", e.what());
    return e.status();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mirx_node: %s\n", e.what());
    return exit_failure;
  }
  return exit_failure;
}
