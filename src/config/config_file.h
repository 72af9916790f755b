#pragma once

#include "output/output.h"
#include "settings/settings.h"

namespace mirx {

// Reads the configuration file once at start-up: `path` when given and it
// opens, else "mirx_server.cfg" in the working directory. Overwrites the
// settings the file names, reports faulty lines on the console and never ends
// the process; with no file at all every default stays.
void read_config_file(const char* path, settings& s, output& out);

}  // namespace mirx
