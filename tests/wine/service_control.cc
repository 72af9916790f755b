// Sends one control code to a service, as `sc control NAME CODE` does on
// Windows (Wine's sc lacks that command): service_control NAME CODE.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager ? ::OpenServiceA(manager, argv[1], SERVICE_USER_DEFINED_CONTROL) : nullptr;
  SERVICE_STATUS status;
  if (service && ::ControlService(service, std::strtoul(argv[2], nullptr, 10), &status)) return 0;
  std::printf("control %s failed: %lu\n", argv[2], ::GetLastError());
  return 1;
}
