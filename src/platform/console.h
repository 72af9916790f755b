#pragma once

// The console and the stop's hand-over of blocking calls. A console line is
// written in one system call; a stop can cut short whatever write the
// marked thread (the receive loop's) is blocked in, and bounds its own run.

#include <cstddef>

namespace platform {

// Run first, before anything is opened: standard input, output and error
// that are not open are opened on the null device, so that no file or port
// can take their descriptors; and a console whose reader has gone makes
// console writes fail instead of ending the process.
void guard_standard_streams();

// One console line on standard output in one call. A failure (the reader
// gone, the write cut short by a stop) is not retried and changes nothing
// else. Once blocking calls are cut it writes nothing.
void write_console(const char* text, std::size_t length);
// As write_console, for the stop's own last line, whether or not blocking
// calls are cut: a write that blocks is cut short by the stop's deadline.
void write_console_last(const char* text, std::size_t length);

// Marks the calling thread as the one whose blocking calls a stop may cut.
void mark_stoppable_thread();
// From now on console lines are skipped, and the marked thread's current
// blocking call (a write to the console or the log file, a wait) returns at
// once with a failure. Each call cuts the call under way at that moment:
// the stop repeats it until the thread has let go.
void cut_blocking_calls();
bool blocking_calls_cut();

// Bounds a stop begun on the calling thread: after `cut_after_ms` that
// thread's own blocking calls are cut short again and again, and after
// `end_after_ms` the process ends with status 3, whatever still blocks.
void start_stop_deadline(int cut_after_ms, int end_after_ms);

// True for the one caller that may write the process's last words on the
// error stream; false for everyone after.
bool claim_last_words();
// The last words of a run that ends abnormally, on the error stream.
inline constexpr char abnormal_end_text[] = "\r\nAbnormal program termination\r\n";

}  // namespace platform
