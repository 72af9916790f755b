// connected_sends on Linux, through liburing.

#include <liburing.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/connected_sends.h"

namespace mirx::platform {
namespace {

// Submission entries: the most sends one submission takes. A larger fan-out
// is split into submissions of this many.
constexpr unsigned ring_entries = 1024;

// A refusal is reported once per port-unreachable answer and cleared by the
// send that reports it, so a second one in a row is rare; a third means the
// datagram cannot go and is given up as the unconnected send's would be.
constexpr int refusal_resends = 3;

}  // namespace

bool connected_sends::built_in() {
  return true;
}

int connected_sends::open(unsigned most) {
  close();
  auto* ring = new (std::nothrow) io_uring{};
  fds_ = new (std::nothrow) int[most];
  if (ring == nullptr || fds_ == nullptr) {
    delete ring;
    close();
    return ENOMEM;
  }
  for (unsigned i = 0; i < most; ++i) fds_[i] = -1;
  // SUBMIT_ALL: a send the kernel refuses to take (a bad slot) fails alone
  // instead of leaving the ones after it in the queue for the next fan-out.
  int result = io_uring_queue_init(ring_entries, ring, IORING_SETUP_SUBMIT_ALL);
  if (result == 0) {
    result = io_uring_register_files_sparse(ring, most);
    if (result != 0) io_uring_queue_exit(ring);
  }
  if (result != 0) {
    delete ring;
    close();
    return -result;
  }
  ring_ = ring;
  most_ = most;
  return 0;
}

void connected_sends::close() {
  if (ring_ != nullptr) {
    io_uring_queue_exit(ring_);  // unregisters the files
    delete ring_;
    ring_ = nullptr;
  }
  if (fds_ != nullptr)
    for (unsigned i = 0; i < most_; ++i)
      if (fds_[i] >= 0) ::close(fds_[i]);
  delete[] fds_;
  fds_ = nullptr;
  most_ = next_free_ = 0;
}

int connected_sends::add(std::uint32_t ip, std::uint16_t port, std::uint16_t from_port,
                         int* error) {
  *error = 0;
  if (most_ == 0) return -1;
  unsigned slot = next_free_;
  for (unsigned tried = 0; tried < most_ && fds_[slot] >= 0; ++tried) slot = (slot + 1) % most_;
  if (fds_[slot] >= 0) return -1;
  const socket_handle s = open_connected_udp(ip, port, from_port, error);
  if (s == no_socket) return -1;
  const int fd = static_cast<int>(s);
  const int result = io_uring_register_files_update(ring_, slot, &fd, 1);
  if (result != 1) {
    *error = result < 0 ? -result : EBADF;
    close_socket(s);
    return -1;
  }
  fds_[slot] = fd;
  next_free_ = (slot + 1) % most_;
  return static_cast<int>(slot);
}

void connected_sends::remove(int slot) {
  const unsigned at = static_cast<unsigned>(slot);
  if (at >= most_ || fds_[at] < 0) return;
  const int none = -1;
  io_uring_register_files_update(ring_, at, &none, 1);
  ::close(fds_[at]);
  fds_[at] = -1;
}

void connected_sends::send_all(const void* data, std::size_t length, const int* slots,
                               std::size_t count, int* errors) {
  for (std::size_t done = 0; done < count;) {
    const std::size_t part = count - done < ring_entries ? count - done : ring_entries;
    done += submit(data, length, slots + done, part, errors + done);
  }
  for (std::size_t i = 0; i < count; ++i)
    if (errors[i] == ECONNREFUSED) errors[i] = resend(slots[i], data, length);
}

// One submission of up to `count` sends; returns how many were taken, each
// with its outcome in `errors`. Every completion is reaped before returning:
// a UDP send completes during the submission, so the reaping waits only when
// the socket layer made a send wait for buffer space, as a blocking send
// would.
std::size_t connected_sends::submit(const void* data, std::size_t length, const int* slots,
                                    std::size_t count, int* errors) {
  const std::size_t room = io_uring_sq_space_left(ring_);
  if (count > room) count = room;
  if (count == 0) {  // every submission is reaped whole, so the queue is never left full
    errors[0] = EBUSY;
    return 1;
  }
  for (std::size_t i = 0; i < count; ++i) {
    io_uring_sqe* sqe = io_uring_get_sqe(ring_);
    io_uring_prep_send(sqe, slots[i], data, length, 0);
    sqe->flags = IOSQE_FIXED_FILE;
    sqe->user_data = i;
    errors[i] = EIO;  // until its completion tells otherwise
  }
  int submitted = io_uring_submit(ring_);
  while (submitted == -EINTR) submitted = io_uring_submit(ring_);
  if (submitted < 0) {
    for (std::size_t i = 0; i < count; ++i) errors[i] = -submitted;
    return count;
  }
  // Whatever has completed is taken in one pass; only a send still waiting
  // for buffer space makes the loop wait.
  for (int reaped = 0; reaped < submitted;) {
    io_uring_cqe* cqe = nullptr;
    unsigned head = 0, seen = 0;
    io_uring_for_each_cqe(ring_, head, cqe) {
      const std::size_t at = static_cast<std::size_t>(cqe->user_data);
      if (at < count) {
        int error = cqe->res < 0 ? -cqe->res : 0;
        if (hook_ != nullptr) error = hook_(hook_context_, socket_of(slots[at]), error);
        errors[at] = error;
      }
      ++seen;
    }
    io_uring_cq_advance(ring_, seen);
    reaped += static_cast<int>(seen);
    if (seen == 0 && reaped < submitted) {
      const int result = io_uring_wait_cqe(ring_, &cqe);
      if (result < 0 && result != -EINTR) break;
    }
  }
  return count;
}

// The socket of a slot the kernel was handed, which may be no slot of ours
// (its send then failed with EBADF).
socket_handle connected_sends::socket_of(int slot) const {
  const unsigned at = static_cast<unsigned>(slot);
  return at < most_ && fds_[at] >= 0 ? static_cast<socket_handle>(fds_[at]) : no_socket;
}

// A send repeated outside the ring, on the slot's own socket.
int connected_sends::resend(int slot, const void* data, std::size_t length) {
  int error = ECONNREFUSED;
  for (int i = 0; i < refusal_resends && error == ECONNREFUSED; ++i) {
    error = ::send(fds_[slot], data, length, 0) < 0 ? errno : 0;
    if (hook_ != nullptr) error = hook_(hook_context_, fds_[slot], error);
  }
  return error == ECONNREFUSED ? 0 : error;
}

}  // namespace mirx::platform
