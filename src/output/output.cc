#include "output/output.h"

#include <cstdarg>
#include <ctime>
#include <string>

#include "platform/console.h"
#include "platform/platform.h"

namespace mirx {

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

// One line, formatted in full before anything is written, so that it reaches
// its channel in one piece: a program reading the console never sees half a
// line, and the console costs one system call per line. The caller's
// argument list is left as it was, for the log file's copy of the line.
class line {
 public:
  line(const char* stamp, const char* fmt, std::va_list args) {
    std::size_t lead = 0;
    if (stamp != nullptr)
      lead = static_cast<std::size_t>(std::snprintf(small_, sizeof small_, "%.24s ", stamp));
    std::va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(small_ + lead, sizeof small_ - lead, fmt, copy);
    va_end(copy);
    if (n < 0) return;
    size_ = lead + static_cast<std::size_t>(n);
    if (size_ < sizeof small_) {
      text_ = small_;
      return;
    }
    big_.assign(small_, lead);
    big_.resize(size_ + 1);
    va_copy(copy, args);
    std::vsnprintf(big_.data() + lead, big_.size() - lead, fmt, copy);
    va_end(copy);
    text_ = big_.data();
  }
  const char* text() const { return text_; }
  std::size_t size() const { return size_; }

 private:
  char small_[512];
  std::string big_;
  const char* text_ = "";
  std::size_t size_ = 0;
};

// The process's own console goes straight to its descriptor in one write;
// any other stream (a test's capture) through the C library.
void put_console(std::FILE* console, const char* text, std::size_t length) {
  if (console == stdout)
    platform::write_console(text, length);
  else
    std::fwrite(text, 1, length, console);
}

}  // namespace

bool output::log_open() const {
  // A log file whose write a stop has already cut short is not written
  // again: each further write could block as long once more.
  return log != nullptr && !(platform::blocking_calls_cut() && std::ferror(log));
}

void output::say(shown when, const char* fmt, ...) {
  if (!shows(when)) return;
  std::va_list args;
  va_start(args, fmt);
  const line l(nullptr, fmt, args);
  va_end(args);
  put_console(console, l.text(), l.size());
}

void output::say_text(shown when, const char* text, std::size_t length) {
  if (shows(when)) put_console(console, text, length);
}

void output::write_log(const char* fmt, ...) {
  if (!log_open()) return;
  std::va_list args;
  va_start(args, fmt);
  std::vfprintf(log, fmt, args);
  va_end(args);
}

void output::write_log_text(const char* text, std::size_t length) {
  if (log_open()) std::fwrite(text, 1, length, log);
}

void output::both(shown when, const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  if (shows(when)) {
    const line l(nullptr, fmt, args);
    put_console(console, l.text(), l.size());
  }
  if (log_open()) std::vfprintf(log, fmt, args);
  va_end(args);
}

void output::stamped(shown when, const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  if (shows(when)) {
    const line l(time_stamp().text, fmt, args);
    put_console(console, l.text(), l.size());
  }
  if (log_open()) {
    std::fprintf(log, "%.24s ", time_stamp().text);
    std::vfprintf(log, fmt, args);
  }
  va_end(args);
}

}  // namespace mirx
