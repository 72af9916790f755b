#include "output/output.h"

#include <cstdarg>
#include <ctime>

#include "platform/platform.h"

namespace {

time_text format_time(std::time_t now) {
  static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::tm t = platform::local_time(now);
  time_text out{};
  std::snprintf(out.text, sizeof out.text, "%s %s %02d %02d:%02d:%02d %4d\n", days[t.tm_wday % 7],
                months[t.tm_mon % 12], t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_year + 1900);
  return out;
}

}  // namespace

// The text changes once a second, while under -i a busy relay stamps a line
// per delivery: it is kept per thread and made anew only when the second
// changes. The local time zone is read once per process, so a kept text is
// exactly what formatting again would give.
time_text time_stamp() {
  thread_local std::time_t kept_second = -1;
  thread_local time_text kept{};
  const std::time_t now = std::time(nullptr);
  if (now != kept_second) {
    kept = format_time(now);
    kept_second = now;
  }
  return kept;
}

namespace {

void print_stamped(std::FILE* to, const char* fmt, std::va_list args) {
  std::fprintf(to, "%.24s ", time_stamp().text);
  std::vfprintf(to, fmt, args);
}

}  // namespace

void output::say(shown when, const char* fmt, ...) {
  if (!shows(when)) return;
  std::va_list args;
  va_start(args, fmt);
  std::vfprintf(console, fmt, args);
  va_end(args);
}

void output::write_log(const char* fmt, ...) {
  if (log == nullptr) return;
  std::va_list args;
  va_start(args, fmt);
  std::vfprintf(log, fmt, args);
  va_end(args);
}

void output::write_log_text(const char* text, std::size_t length) {
  if (log != nullptr) std::fwrite(text, 1, length, log);
}

void output::both(shown when, const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  if (shows(when)) {
    std::va_list copy;
    va_copy(copy, args);
    std::vfprintf(console, fmt, copy);
    va_end(copy);
  }
  if (log != nullptr) std::vfprintf(log, fmt, args);
  va_end(args);
}

void output::stamped(shown when, const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  if (shows(when)) {
    std::va_list copy;
    va_copy(copy, args);
    print_stamped(console, fmt, copy);
    va_end(copy);
  }
  if (log != nullptr) print_stamped(log, fmt, args);
  va_end(args);
}
