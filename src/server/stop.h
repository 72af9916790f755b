#pragma once

#include <mutex>

namespace mirx {

// Held by whoever uses the sockets, the serial port or the log file: the
// receive loop for each datagram it handles, start-up while it opens them,
// and the stop sequence, which closes them and ends the process without ever
// releasing it. So the loop never touches anything the stop has closed.
std::mutex& io_lock();

// The stop sequence, run on the stop-watch thread: closes the serial port
// and the sockets, ends the log file with its "log end" line, prints the
// "End" line and ends the process with status 3.
void stop_handler(int signal_number);

}  // namespace mirx
