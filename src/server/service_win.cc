// The Windows service: the same program, started by the service manager.
// The server runs in the service's main thread as it would from a console;
// the service manager's stop and shut-down controls take the console's stop
// path, and the process-end hook reports how the run ended.

#include "server/service_win.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/service_hooks_win.h"
#include "server/command_line.h"
#include "server/server.h"
#include "server/stop.h"

namespace mirx {
namespace {

int saved_argc = 0;
char** saved_argv = nullptr;
SERVICE_STATUS_HANDLE status_handle = nullptr;
std::atomic<bool> stop_requested{false};

// The time the service manager is told a stop may take: the stop itself
// ends the process within two seconds whatever blocks.
constexpr DWORD stop_wait_hint_ms = 3000;
constexpr DWORD start_wait_hint_ms = 10000;

void report(DWORD state, DWORD specific_code = 0, DWORD wait_hint = 0) {
  platform::report_service_state(status_handle, state, specific_code, wait_hint);
}

void report_running() {
  report(SERVICE_RUNNING);
}

// A stop that was asked for is a success; any other end (a port in use, no
// socket, the log server not found) is a failure whose service-specific code
// is the status the console program ends with, so that the recovery actions
// apply to real failures only.
void report_end(int status) {
  report(SERVICE_STOPPED, stop_under_way() ? 0 : static_cast<DWORD>(status));
}

DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      if (!stop_requested.exchange(true)) {
        report(SERVICE_STOP_PENDING, 0, stop_wait_hint_ms);
        std::thread(stop_handler, 0).detach();  // ends the process
      }
      return NO_ERROR;
    case reopen_log_control:
      platform::request_reopen();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// Makes the data directory the working directory, so that relative paths in
// the configuration land there: the directory of the configuration file
// given with -f, when the name has one (it is then passed on in full), or
// else %ProgramData%\mirx-server.
std::vector<char*> enter_data_directory(std::string& full_config_path) {
  std::vector<char*> args(saved_argv, saved_argv + saved_argc);
  args.push_back(nullptr);
  const char* given = read_command_line(saved_argc, saved_argv).config_path;
  char full[MAX_PATH];
  char* file_part = nullptr;
  const bool has_folder =
      given != nullptr && std::string(given).find_first_of("\\/:") != std::string::npos;
  const DWORD n = has_folder ? ::GetFullPathNameA(given, sizeof full, full, &file_part) : 0;
  if (n == 0 || n >= sizeof full || file_part == nullptr) {
    ::SetCurrentDirectoryA(platform::program_data_directory().c_str());
    return args;
  }
  full_config_path = full;
  for (char*& a : args)
    if (a == given) a = full_config_path.data();
  *file_part = '\0';
  ::SetCurrentDirectoryA(full);
  return args;
}

void WINAPI service_main(DWORD, char**) {
  status_handle = ::RegisterServiceCtrlHandlerExA(service_name, on_control, nullptr);
  if (status_handle == nullptr) return;
  report(SERVICE_START_PENDING, 0, start_wait_hint_ms);
  std::string full_config_path;
  std::vector<char*> args = enter_data_directory(full_config_path);
  // What the console program would print (the banner, start-up errors, the
  // -i lines) goes to a file in the data directory.
  platform::console_to_file(console_file_name);
  platform::on_start_up_done(report_running);
  platform::on_process_end(report_end);
  // Returns only when start-up ends the run (-? shows the usage).
  const int status = run_server(saved_argc, args.data());
  std::fflush(nullptr);
  platform::process_ending(status);
}

}  // namespace

std::optional<int> run_as_service(int argc, char** argv) {
  saved_argc = argc;
  saved_argv = argv;
  if (!platform::maybe_started_by_service_manager()) return std::nullopt;
  char name[sizeof service_name];
  std::copy(std::begin(service_name), std::end(service_name), name);
  const SERVICE_TABLE_ENTRYA table[] = {{name, service_main}, {nullptr, nullptr}};
  if (::StartServiceCtrlDispatcherA(table)) return 0;
  if (::GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) return std::nullopt;
  return 1;
}

}  // namespace mirx
