// POSIX signals: the log reopen request, the stop requests handled on a
// thread of their own, and the ways the process ends.

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <thread>

#include "platform/console.h"
#include "platform/platform.h"

namespace mirx::platform {

namespace {

volatile std::sig_atomic_t reopen_requested = 0;

extern "C" void note_reopen(int) {
  reopen_requested = 1;
}

}  // namespace

void watch_reopen_signal() {
  struct sigaction act {};
  act.sa_handler = note_reopen;
  act.sa_flags = SA_RESTART;
  sigemptyset(&act.sa_mask);
  sigaction(SIGUSR1, &act, nullptr);
}

bool take_reopen_request() {
  if (reopen_requested == 0) return false;
  reopen_requested = 0;
  return true;
}

namespace {

// Interrupt, and the termination requests and hang-up that stand in for the
// console's break on Linux.
constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : stop_signals) sigaddset(&set, s);
  return set;
}

extern "C" void exit_at_once(int) {
  ::_exit(3);
}

}  // namespace

void start_stop_watch(void (*on_stop)(int)) {
  sigset_t set = stop_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([on_stop, set] {
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    // From here a second request of the same kind ends the process at once:
    // only this thread lets it through, and its handler only calls _exit.
    struct sigaction act {};
    act.sa_handler = exit_at_once;
    sigemptyset(&act.sa_mask);
    sigaction(sig, &act, nullptr);
    sigset_t again;
    sigemptyset(&again);
    sigaddset(&again, sig);
    pthread_sigmask(SIG_UNBLOCK, &again, nullptr);
    on_stop(sig);
  }).detach();
}

void start_up_done() {}

void exit_now(int status) {
  std::_Exit(status);
}

void abnormal_termination() {
  if (claim_last_words()) {
    ssize_t ignored = ::write(STDERR_FILENO, abnormal_end_text, sizeof abnormal_end_text - 1);
    (void)ignored;
  }
  ::_exit(3);
}

}  // namespace mirx::platform
