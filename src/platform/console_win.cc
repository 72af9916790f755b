// Windows side of the console and of the stop's hand-over: one runtime write
// per console line (the runtime still turns "\n" into "\r\n"), and a blocked
// synchronous write of the marked thread cancelled with CancelSynchronousIo.

// clang-format off
#include "platform/windows_win.h"
#include <io.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/console.h"
#include "platform/service_hooks_win.h"

namespace mirx::platform {
namespace {

std::atomic<bool> cut{false};
std::atomic<HANDLE> marked_thread{nullptr};
std::atomic<bool> last_words_claimed{false};

HANDLE own_thread_handle() {
  HANDLE h = nullptr;
  ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &h, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);
  return h;
}

}  // namespace

// The runtime reserves descriptors 0 to 2 even without a console, and the
// serial port is a handle, never a descriptor: nothing can take their place.
// There is no SIGPIPE: a write to a pipe whose reader has gone just fails.
void guard_standard_streams() {}

void write_console(const char* text, std::size_t length) {
  // _write in text mode turns each "\n" into "\r\n" in a buffer of its own
  // and hands a short line to the system in one WriteFile.
  if (cut.load(std::memory_order_relaxed)) return;
  (void)::_write(1, text, static_cast<unsigned>(length));
}

void write_console_last(const char* text, std::size_t length) {
  (void)::_write(1, text, static_cast<unsigned>(length));
}

void mark_stoppable_thread() {
  marked_thread.store(own_thread_handle());
}

void cut_blocking_calls() {
  cut.store(true);
  if (HANDLE h = marked_thread.load()) ::CancelSynchronousIo(h);
}

bool blocking_calls_cut() {
  return cut.load(std::memory_order_relaxed);
}

void start_stop_deadline(int cut_after_ms, int end_after_ms) {
  const HANDLE stopping = own_thread_handle();
  const auto start = std::chrono::steady_clock::now();
  std::thread([stopping, start, cut_after_ms, end_after_ms] {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(cut_after_ms));
    while (std::chrono::steady_clock::now() < start + std::chrono::milliseconds(end_after_ms)) {
      ::CancelSynchronousIo(stopping);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    process_ending(3);
    ::TerminateProcess(::GetCurrentProcess(), 3);
  }).detach();
}

bool claim_last_words() {
  return !last_words_claimed.exchange(true);
}

}  // namespace mirx::platform
