// Windows services beside the server: how a process learns that the service
// manager started it, the data directory, the stop requests a program waits
// for, and a service whose body runs until such a request.

// clang-format off
#include "platform/windows_win.h"
#include <shlobj.h>
#include <tlhelp32.h>
#include <fcntl.h>
#include <io.h>
// clang-format on

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/service_hooks_win.h"

namespace mirx::platform {
namespace {

struct process_facts {
  DWORD parent = 0;
  std::wstring name;
};

std::optional<process_facts> facts_of(HANDLE snapshot, DWORD pid) {
  PROCESSENTRY32W e{};
  e.dwSize = sizeof e;
  for (BOOL more = ::Process32FirstW(snapshot, &e); more; more = ::Process32NextW(snapshot, &e))
    if (e.th32ProcessID == pid) return process_facts{e.th32ParentProcessID, e.szExeFile};
  return std::nullopt;
}

// Manual reset: once asked, every later wait sees the request too.
HANDLE stop_event() {
  static const HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return event;
}

std::atomic<bool> as_service{false};

BOOL WINAPI on_console_event(DWORD event) {
  // A service receives it whenever a user logs off: the service runs on.
  if (event == CTRL_LOGOFF_EVENT && as_service.load()) return TRUE;
  ::SetEvent(stop_event());
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // Closing the window, log-off, shut-down: the system ends the process as
  // soon as this returns, so it waits for the program's own end instead.
  ::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void report_service_state(void* status_handle, unsigned long state, unsigned long specific_code,
                          unsigned long wait_hint) {
  SERVICE_STATUS st{};
  st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  st.dwCurrentState = state;
  st.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  st.dwWin32ExitCode = specific_code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  st.dwServiceSpecificExitCode = specific_code;
  st.dwWaitHint = wait_hint;
  ::SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(status_handle), &st);
}

bool maybe_started_by_service_manager() {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return true;
  const std::optional<process_facts> self = facts_of(snapshot, ::GetCurrentProcessId());
  const std::optional<process_facts> parent =
      self ? facts_of(snapshot, self->parent) : std::nullopt;
  ::CloseHandle(snapshot);
  if (!self) return true;
  return parent && ::_wcsicmp(parent->name.c_str(), L"services.exe") == 0;
}

std::string program_data_directory() {
  char base[MAX_PATH];
  std::string dir = ::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, base) == S_OK
                        ? base
                        : "C:\\ProgramData";
  dir += "\\mirx-server";
  ::CreateDirectoryA(dir.c_str(), nullptr);  // the installer has made it already
  return dir;
}

void hold_stop_requests() {
  stop_event();
  ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool wait_stop_request(int timeout_ms) {
  return ::WaitForSingleObject(stop_event(), static_cast<DWORD>(timeout_ms)) == WAIT_OBJECT_0;
}

void request_stop() {
  ::SetEvent(stop_event());
}

bool console_to_file(const char* name) {
  const HANDLE h = ::CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::SetStdHandle(STD_OUTPUT_HANDLE, h);
  ::SetStdHandle(STD_ERROR_HANDLE, h);
  const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(h), _O_TEXT | _O_WRONLY);
  if (fd < 0) return false;
  ::_dup2(fd, 1);
  ::_dup2(fd, 2);
  return true;
}

// The Windows heap has no arenas to limit and gives freed blocks back itself.
void use_few_memory_arenas() {}
void return_free_memory() {}

namespace {

// The one service this process runs, for the service manager's callbacks.
struct service {
  std::string name;
  const char* console_file = nullptr;
  int (*body)(int, char**) = nullptr;
  std::vector<char*> args;
  SERVICE_STATUS_HANDLE status = nullptr;
  std::atomic<bool> stopping{false};
  int exit_status = 0;
} the_service;

// A stop may take as long as the last state file write.
constexpr DWORD stop_wait_hint_ms = 10000;
constexpr DWORD start_wait_hint_ms = 10000;

void report(DWORD state, DWORD specific_code = 0, DWORD wait_hint = 0) {
  report_service_state(the_service.status, state, specific_code, wait_hint);
}

DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      if (!the_service.stopping.exchange(true)) {
        report(SERVICE_STOP_PENDING, 0, stop_wait_hint_ms);
        request_stop();
      }
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI service_main(DWORD, char**) {
  service& s = the_service;
  s.status = ::RegisterServiceCtrlHandlerExA(s.name.c_str(), on_control, nullptr);
  if (s.status == nullptr) return;
  report(SERVICE_START_PENDING, 0, start_wait_hint_ms);
  ::SetCurrentDirectoryA(program_data_directory().c_str());
  // Standard error unbuffered, as on a console: each message reaches the
  // file at once.
  if (console_to_file(s.console_file)) std::setvbuf(stderr, nullptr, _IONBF, 0);
  on_start_up_done([] { report(SERVICE_RUNNING); });
  s.exit_status = s.body(static_cast<int>(s.args.size()) - 1, s.args.data());
  std::fflush(nullptr);
  // A stop that was asked for is a success; any other end is a failure
  // whose service-specific code is the status, so that the recovery actions
  // apply to real failures only.
  report(SERVICE_STOPPED, s.stopping.load() ? 0 : static_cast<DWORD>(s.exit_status));
}

}  // namespace

std::optional<int> serve_as_service(const char* name, const char* console_file,
                                    int (*body)(int, char**), int argc, char** argv) {
  if (!maybe_started_by_service_manager()) return std::nullopt;
  the_service.name = name;
  the_service.console_file = console_file;
  the_service.body = body;
  the_service.args.assign(argv, argv + argc);
  the_service.args.push_back(nullptr);
  as_service.store(true);
  std::vector<char> table_name(the_service.name.begin(), the_service.name.end());
  table_name.push_back('\0');
  const SERVICE_TABLE_ENTRYA table[] = {{table_name.data(), service_main}, {nullptr, nullptr}};
  if (::StartServiceCtrlDispatcherA(table)) return the_service.exit_status;
  if (::GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) return std::nullopt;
  return 1;
}

}  // namespace mirx::platform
