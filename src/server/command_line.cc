#include "server/command_line.h"

#include <cstring>

namespace mirx {

command_line read_command_line(int argc, const char* const* argv) {
  command_line cl;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strncmp(arg, "-d", 2) == 0) {
      cl.debug = true;
    } else if (std::strncmp(arg, "-i", 2) == 0) {
      cl.info = true;
    } else if (std::strncmp(arg, "-f", 2) == 0) {
      // The next argument names the file but is still examined as an option
      // in its own turn, so "-f -d" reads the file "-d" and turns debug on.
      cl.config_path = i + 1 < argc ? argv[i + 1] : nullptr;
    } else if (std::strncmp(arg, "-?", 2) == 0) {
      cl.usage = true;
      return cl;
    }
  }
  return cl;
}

void print_usage(std::FILE* to) {
  std::fputs("Usage:\n", to);
  std::fputs("node [-d] [-i] [-f config_file]\n", to);
  std::fputs(" -d : debug\n", to);
  std::fputs(" -i : information\n", to);
  std::fputs(" -f config_file : configure\n", to);
}

}  // namespace mirx
