#pragma once

#include <mutex>

namespace mirx {

// Held by whoever uses the sockets, the serial port or the log file: the
// receive loop for each datagram it handles, start-up while it opens them,
// and the stop sequence, which closes them and ends the process without ever
// releasing it. So the loop never touches anything the stop has closed.
std::mutex& io_lock();

// True from the moment a stop request arrives. The loop then takes no
// further datagram and never takes the io lock again.
bool stop_under_way();
// Where the loop waits, holding nothing, for the stop to end the process.
[[noreturn]] void stay_stopped();

// The stop sequence, run on the stop-watch thread: takes the io lock from
// the loop (cutting short a write that blocks it), closes the serial port
// and the sockets, ends the log file with its "log end" line, prints the
// "End" line and ends the process with status 3, all within two seconds
// whatever blocks.
void stop_handler(int signal_number);

}  // namespace mirx
