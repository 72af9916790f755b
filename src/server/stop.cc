#include "server/stop.h"

#include <atomic>
#include <cstdio>

#include "platform/console.h"
#include "server/server.h"
#include "server/streams.h"

namespace mirx {
namespace {

std::atomic<bool> stop_begun{false};

// The stop's time budget, from the stop request on: a loop that holds the io
// lock longer than `grace_ms` is blocked in a write, and its blocking calls
// are cut short; from `cut_own_ms` the stop's own writes (the log file's last
// lines, the End line) are cut short too; at `end_ms` the process ends
// whatever still blocks.
constexpr int grace_ms = 200;
constexpr int cut_own_ms = 1000;
constexpr int end_ms = 1800;

// Takes the io lock from the receive loop. Once the stop has begun the loop
// starts no further datagram, so it lets go as soon as the datagram in hand
// is done, unless a write blocks it: then that write is cut short, again
// every 50 ms in case a new one began. The lock is never released again.
void take_io_lock() {
  for (int waited = 0;; waited += 10) {
    if (io_lock().try_lock()) return;
    if (waited >= grace_ms && waited % 50 == 0) platform::cut_blocking_calls();
    platform::sleep_ms(10);
  }
}

}  // namespace

std::mutex& io_lock() {
  static std::mutex lock;
  return lock;
}

bool stop_under_way() {
  return stop_begun.load(std::memory_order_relaxed);
}

void stay_stopped() {
  for (;;) platform::sleep_ms(1000);
}

void stop_handler(int) {
  // A service's stop control and a shut-down event may both arrive: the
  // second caller waits for the first to end the process.
  if (stop_begun.exchange(true)) stay_stopped();
  platform::start_stop_deadline(cut_own_ms, end_ms);
  take_io_lock();
  server& s = the_server();
  save_state_at_stop(s);
  // Before the sockets close: reflectors linked to are sent the unlink.
  for (conference_door* d : s.conf.doors) d->stop();
  if (s.streams.on()) stop_streams(s);
  s.serial_out.close();
  platform::close_socket(s.link.out_socket);
  platform::close_socket(s.in_socket);
  platform::close_socket(s.link.log_socket);
  if (s.out.log != nullptr) {
    std::fprintf(s.out.log, "log end %.24s\n", time_stamp().text);
    std::fclose(s.out.log);
    s.out.log = nullptr;
  }
  char end[48];
  const int n = std::snprintf(end, sizeof end, "End %.24s\n", time_stamp().text);
  platform::write_console_last(end, static_cast<std::size_t>(n));
  platform::abnormal_termination();
}

}  // namespace mirx
