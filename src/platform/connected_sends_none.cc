// connected_sends where io_uring is not built in (no liburing at build time,
// Windows): it can never be opened, and the caller relays as without it.

#include <cerrno>

#include "platform/connected_sends.h"

namespace mirx::platform {

bool connected_sends::built_in() {
  return false;
}

int connected_sends::open(unsigned) {
  return ENOSYS;
}

void connected_sends::close() {}

int connected_sends::add(std::uint32_t, std::uint16_t, std::uint16_t, int* error) {
  *error = ENOSYS;
  return -1;
}

void connected_sends::remove(int) {}

void connected_sends::send_all(const void*, std::size_t, const int*, std::size_t count,
                               int* errors) {
  for (std::size_t i = 0; i < count; ++i) errors[i] = ENOSYS;
}

}  // namespace mirx::platform
