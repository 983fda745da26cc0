// SPDX-License-Identifier: Apache-2.0
// Runs a command as on a file system without unnamed files: a seccomp
// filter answers every open with O_TMPFILE with EOPNOTSUPP, as such a file
// system does, so the tool takes its other way to a replacement file.
//
//   no_tmpfile COMMAND [ARG...]
#include <fcntl.h>
#include <linux/audit.h>
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
    std::fprintf(stderr, "usage: no_tmpfile COMMAND [ARG...]\n");
    return 2;
  }
  const auto flags_of = [](int arg) {
    return static_cast<unsigned>(offsetof(seccomp_data, args) + arg * sizeof(__u64));
  };
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 4),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, flags_of(2)),
      BPF_STMT(BPF_ALU | BPF_AND | BPF_K, __O_TMPFILE),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __O_TMPFILE, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    std::perror("no_tmpfile: seccomp");
    return 126;
  }
  execvp(argv[1], argv + 1);
  std::perror("no_tmpfile: exec");
  return 127;
}
