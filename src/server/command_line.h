#pragma once

#include <cstdio>

namespace mirx {

// What the command line asks for. Each argument is recognised by its first
// two characters alone ("-debug" is -d); anything else is ignored.
struct command_line {
  bool debug = false;
  bool info = false;
  bool usage = false;                 // -? was given: print the usage text and end
  const char* config_path = nullptr;  // the argument after the last -f, if any
};

command_line read_command_line(int argc, const char* const* argv);

void print_usage(std::FILE* to);

}  // namespace mirx
