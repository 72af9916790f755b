// Runs a program with io_uring refused, as a container's seccomp profile or a
// service unit's system-call filter refuses it: io_uring_setup fails with
// EPERM, everything else is allowed.
//
//   no_io_uring PROGRAM [ARGUMENT...]
//
// The filter looks at the system-call number alone, so it holds for the
// architecture this helper is built for.

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: no_io_uring PROGRAM [ARGUMENT...]\n", stderr);
    return 2;
  }
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    std::perror("no_io_uring: seccomp");
    return 2;
  }
  ::execv(argv[1], argv + 1);
  std::perror("no_io_uring: exec");
  return 127;
}
