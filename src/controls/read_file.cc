#include "controls/read_file.h"

#include "platform/platform.h"

namespace mirx {

bool read_control_file(const char* path, std::string& text, std::string& why, bool* missing) {
  const platform::file_read r = platform::read_regular_file(path, largest_control_file, text);
  if (missing != nullptr) *missing = r.status == platform::file_status::missing;
  switch (r.status) {
    case platform::file_status::read:
      return true;
    case platform::file_status::not_regular:
      why = "not a regular file";
      return false;
    case platform::file_status::too_large:
      why = "larger than 16 MiB";
      return false;
    case platform::file_status::missing:
    case platform::file_status::failed:
      break;
  }
  why = platform::error_text(r.error);
  return false;
}

}  // namespace mirx
