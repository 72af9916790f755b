#pragma once

// Windows only: mirx_server.exe started by the service manager runs as the
// service "mirx-server"; started any other way it is the console program.

#include <optional>

namespace mirx {

inline constexpr char service_name[] = "mirx-server";
// The user-defined service control that reopens the log file, as SIGUSR1
// does on Linux: `sc control mirx-server 128`.
inline constexpr unsigned long reopen_log_control = 128;
// Where a service's console output goes, in its data directory.
inline constexpr char console_file_name[] = "mirx_server-console.txt";

// Runs the server as a service when the service manager started the process,
// and returns the exit status once the service has ended; returns nothing
// when the process was not started as a service.
std::optional<int> run_as_service(int argc, char** argv);

}  // namespace mirx
