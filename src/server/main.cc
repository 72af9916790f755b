#include "server/server.h"
#ifdef _WIN32
#include "server/service_win.h"
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  if (const auto status = mirx::run_as_service(argc, argv)) return *status;
#endif
  return mirx::run_server(argc, argv);
}
