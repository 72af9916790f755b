#include <cstdio>

#include "mirx_node/commands.h"
#include "mirx_node/session.h"

namespace mirx::node_tool {

int run_register(const options& o) {
  const session s = open_session(o);
  std::printf("%s\n", register_node(s, o).c_str());
  return exit_ok;
}

int run_disconnect(const options& o) {
  const session s = open_session(o);
  send_disconnect(s);
  std::printf("sent disconnect from %s:%u to %s\n", o.bind.c_str(),
              static_cast<unsigned>(o.out_port), s.server_text.c_str());
  return exit_ok;
}

}  // namespace mirx::node_tool
