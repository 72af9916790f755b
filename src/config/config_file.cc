#include "config/config_file.h"

namespace mirx {

void read_config_file(const char*, settings&, output&) {}

}  // namespace mirx
