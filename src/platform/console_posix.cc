// POSIX side of the console and of the stop's hand-over: raw writes to
// descriptor 1, and a signal that does nothing but make a blocked system
// call of one chosen thread return with EINTR.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/console.h"

namespace platform {
namespace {

// SIGURG: ignored by default, so a stray one harms nothing, and used by
// nothing else in this program.
constexpr int cut_signal = SIGURG;

std::atomic<bool> cut{false};
std::atomic<bool> marked{false};
pthread_t marked_thread;
std::atomic<bool> last_words_claimed{false};

extern "C" void on_cut(int) {}

void install_cut_handler() {
  // Without SA_RESTART: a blocked write or wait returns EINTR instead of
  // going on waiting.
  struct sigaction act {};
  act.sa_handler = on_cut;
  sigemptyset(&act.sa_mask);
  act.sa_flags = 0;
  sigaction(cut_signal, &act, nullptr);
}

using clock = std::chrono::steady_clock;

}  // namespace

void guard_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one, as every lower one is open.
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
  signal(SIGPIPE, SIG_IGN);
  install_cut_handler();
}

void write_console(const char* text, std::size_t length) {
  while (length > 0 && !cut.load(std::memory_order_relaxed)) {
    const ssize_t n = ::write(STDOUT_FILENO, text, length);
    if (n < 0) return;
    text += n;  // a terminal may take a long line in parts
    length -= static_cast<std::size_t>(n);
  }
}

void write_console_last(const char* text, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(STDOUT_FILENO, text, length);
    if (n < 0) return;
    text += n;
    length -= static_cast<std::size_t>(n);
  }
}

void mark_stoppable_thread() {
  marked_thread = ::pthread_self();
  marked.store(true);
}

void cut_blocking_calls() {
  cut.store(true);
  if (marked.load()) ::pthread_kill(marked_thread, cut_signal);
}

bool blocking_calls_cut() {
  return cut.load(std::memory_order_relaxed);
}

void start_stop_deadline(int cut_after_ms, int end_after_ms) {
  const pthread_t stopping = ::pthread_self();
  const clock::time_point start = clock::now();
  std::thread([stopping, start, cut_after_ms, end_after_ms] {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(cut_after_ms));
    while (clock::now() < start + std::chrono::milliseconds(end_after_ms)) {
      ::pthread_kill(stopping, cut_signal);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (claim_last_words()) {
      pollfd p{STDERR_FILENO, POLLOUT, 0};
      if (::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0) {
        const ssize_t ignored =
            ::write(STDERR_FILENO, abnormal_end_text, sizeof abnormal_end_text - 1);
        (void)ignored;
      }
    }
    ::_exit(3);
  }).detach();
}

bool claim_last_words() {
  return !last_words_claimed.exchange(true);
}

}  // namespace platform
