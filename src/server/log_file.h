#pragma once

#include "server/server.h"

namespace mirx {

// Opens LogFileName for appending (no log file when the name is empty) and
// writes its first line, "<first_line> <time stamp>". When it cannot, it says
// "log file(NAME) <verb> error" and the server runs on without a log file.
// The caller holds io_lock and has closed any log file before.
void open_log(server& s, const char* first_line, const char* verb);

}  // namespace mirx
