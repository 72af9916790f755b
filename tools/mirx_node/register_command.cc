#include <cstdio>

#include "mirx_node/commands.h"
#include "mirx_node/session.h"

namespace mirx::node_tool {

int run_register(const options& o) {
  const session s = open_session(o);
  std::printf("%s\n", register_node(s, o).c_str());
  return exit_ok;
}

}  // namespace mirx::node_tool
