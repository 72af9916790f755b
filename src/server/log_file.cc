#include "server/log_file.h"

#include <cstdio>

namespace mirx {

void open_log(server& s, const char* first_line, const char* verb) {
  s.out.log = nullptr;
  if (s.cfg.log_file_name[0] == '\0') return;
  std::FILE* f = std::fopen(s.cfg.log_file_name, "a");
  if (f == nullptr) {
    s.out.say(shown::always, "log file(%s) %s error\n", s.cfg.log_file_name, verb);
    return;
  }
  std::fprintf(f, "%s %.24s\n", first_line, time_stamp().text);
  s.out.log = f;
}

}  // namespace mirx
