#pragma once

// Windows only: what a Windows service needs from the platform layer. The
// service code above it learns when start-up is done and how the process
// ends, and passes on the operator's request to reopen the log file. With no
// hook set (a console run) nothing changes.

#include <string>

namespace mirx::platform {

// `hook()` runs once, when start-up is done and the receive loop begins.
void on_start_up_done(void (*hook)());
// `hook(status)` runs just before the process ends on its own, with the
// status it ends with: abnormal_termination, exit_now, a stop's deadline.
// Set, it also marks the process as a service: a user's log-off leaves it
// running.
void on_process_end(void (*hook)(int status));
// Runs the process-end hook, if any (the stop's deadline calls it).
void process_ending(int status);
// A request to reopen the log file, taken by take_reopen_request.
void request_reopen();
// A stop request for wait_stop_request: a service's stop control.
void request_stop();

// Tells the service manager, through `status_handle` (a
// SERVICE_STATUS_HANDLE), the service's `state`: while running it takes
// stop and shutdown; a `specific_code` other than 0 ends it as a failure
// with that service-specific code.
void report_service_state(void* status_handle, unsigned long state, unsigned long specific_code = 0,
                          unsigned long wait_hint = 0);

// Whether the service manager may have started this process: its parent is
// services.exe. The service dispatcher would tell for sure, but a console
// start waits for its answer (about 10 s under Wine); a snapshot of the
// process list never waits. When no snapshot can be taken the answer is yes,
// as a service must never be taken for a console program.
bool maybe_started_by_service_manager();
// The services' data directory, %ProgramData%\mirx-server as the installer
// finds it (a service's own environment may say otherwise); made when
// missing.
std::string program_data_directory();
// A service has no console: its standard output and error, both the
// system's handles and the runtime's descriptors 1 and 2, go to the file
// `name` instead, begun anew at every start. False when the file cannot be
// made or handed to the runtime; the descriptors are then left as they were.
bool console_to_file(const char* name);

}  // namespace mirx::platform
