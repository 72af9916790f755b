#include "server/stop.h"

#include <cstdio>

#include "server/server.h"

namespace mirx {

std::mutex& io_lock() {
  static std::mutex lock;
  return lock;
}

void stop_handler(int) {
  io_lock().lock();  // never released: the process ends here
  server& s = the_server();
  save_state_at_stop(s);
  if (s.dprscomport != platform::no_serial) platform::close_serial(s.dprscomport);
  platform::close_socket(s.link.out_socket);
  platform::close_socket(s.in_socket);
  platform::close_socket(s.link.log_socket);
  if (s.out.log != nullptr) {
    std::fprintf(s.out.log, "log end %.24s\n", time_stamp().text);
    std::fclose(s.out.log);
    s.out.log = nullptr;
  }
  std::printf("End %.24s\n", time_stamp().text);
  std::fflush(stdout);
  platform::abnormal_termination();
}

}  // namespace mirx
