// POSIX: the stop requests a program waits for, and glibc's malloc arenas.

#include <pthread.h>
#include <signal.h>
#include <time.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <csignal>

#include "platform/platform.h"

namespace mirx::platform {

namespace {

sigset_t held_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

// Blocked in every thread and taken by sigtimedwait, so that no signal
// handler runs at all.
void hold_stop_requests() {
  const sigset_t set = held_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

bool wait_stop_request(int timeout_ms) {
  const sigset_t set = held_set();
  const timespec wait{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
  return sigtimedwait(&set, nullptr, &wait) >= 0;
}

// Services are a Windows matter.
std::optional<int> serve_as_service(const char*, const char*, int (*)(int, char**), int, char**) {
  return std::nullopt;
}

void use_few_memory_arenas() {
#if defined(__GLIBC__)
  mallopt(M_ARENA_MAX, 2);
#endif
}

void return_free_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace mirx::platform
