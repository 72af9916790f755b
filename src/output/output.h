#pragma once

#include <cstddef>
#include <cstdio>

// mingw-w64's C++ runtime formats with its own C99 printf (%zu and all), but
// its compiler checks "printf" formats against Microsoft's older one.
#if defined(__MINGW32__)
#define MIRX_PRINTF(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#else
#define MIRX_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#endif

namespace mirx {

// When a console line is shown.
enum class shown {
  always,
  event,  // when debug or info is on
  debug,  // when debug alone is on
};

// The local time as "Www Mmm dd hh:mm:ss yyyy\n" with English names whatever
// the locale; messages print its first 24 characters with "%.24s".
struct time_text {
  char text[32];
};
time_text time_stamp();

// The two output channels and the switches that decide what the console
// shows. Each console line reaches the console in one write. The log file
// receives its lines whenever it is open, whatever the switches; it is
// written with ordinary full buffering and never flushed explicitly, so a
// line costs no system call.
struct output {
  std::FILE* console = stdout;
  std::FILE* log = nullptr;
  bool debug = false;
  bool info = false;
  // LogVoice: whether the log file gets the per-delivery voice lines.
  bool log_voice = true;

  bool shows(shown when) const {
    return when == shown::always || (when == shown::event && (debug || info)) ||
           (when == shown::debug && debug);
  }

  // A console line, printed when the switches show it.
  void say(shown when, const char* fmt, ...) MIRX_PRINTF(3, 4);
  // Bytes as they are on the console, in one piece, when the switches show
  // them: for text that is no printf format.
  void say_text(shown when, const char* text, std::size_t length);
  // A log-file line, written when the log file is open.
  void write_log(const char* fmt, ...) MIRX_PRINTF(2, 3);
  // Bytes as they are into the log file, when it is open: for the line that
  // is written once per delivery, assembled without parsing a format.
  void write_log_text(const char* text, std::size_t length);
  // The same line on the console (when shown) and then in the log file (when
  // open).
  void both(shown when, const char* fmt, ...) MIRX_PRINTF(3, 4);
  // As both(), with a fresh "%.24s " time stamp before the line on each
  // channel.
  void stamped(shown when, const char* fmt, ...) MIRX_PRINTF(3, 4);

 private:
  bool log_open() const;
};

}  // namespace mirx
