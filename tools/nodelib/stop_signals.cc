#include "nodelib/stop_signals.h"

#include <csignal>

#ifndef _WIN32
#include <signal.h>
#endif

namespace mirx::nodes {

#ifdef _WIN32

void catch_stop_signals(void (*handler)(int)) {
  std::signal(SIGINT, handler);
  std::signal(SIGBREAK, handler);
  std::signal(SIGTERM, handler);
}

#else

void catch_stop_signals(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

#endif

}  // namespace mirx::nodes
