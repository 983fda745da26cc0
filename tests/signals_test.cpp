// SPDX-License-Identifier: Apache-2.0
// The guard's handler stays installed once a guard has needed it: a stop
// that comes with no guard in force must leave the run's calls as the
// default action would, restarted after SIGCONT rather than failing. And
// a guard set up inside a block still catches every signal of its set.
#include "signals.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

namespace {

// The state letter of a process (R, S, T, ...), from /proc.
char state_of(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t end = text.rfind(')');
  return end != std::string::npos && end + 2 < text.size() ? text[end + 2] : '?';
}

// Whether pid reached the state within about five seconds.
bool reached(pid_t pid, char state) {
  for (int waited = 0; waited < 5000; ++waited) {
    if (state_of(pid) == state) return true;
    usleep(1000);
  }
  return false;
}

TEST(Signals, AStopAfterAGuardLeavesABlockedReadToGoOn) {
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: nothing caught yet
  EXPECT_EXIT(
      {
        // A group of its own whose parent is in the session: the kernel
        // drops a stop signal sent to an orphaned group.
        if (setpgid(0, 0) != 0) _exit(2);
        { SignalGuard prompt(SignalSet::kTerminatingAndStops, nullptr); }
        int ends[2];
        if (pipe(ends) != 0) _exit(2);
        const pid_t reader = getpid();
        if (fork() == 0) {  // blocked in read: stopped, continued, then fed
          const bool stopped =
              reached(reader, 'S') && kill(reader, SIGTSTP) == 0 && reached(reader, 'T');
          kill(reader, SIGCONT);
          _exit(stopped && write(ends[1], "x", 1) == 1 ? 0 : 1);
        }
        close(ends[1]);  // the read ends should the feeder give up
        char c;
        const ssize_t got = read(ends[0], &c, 1);
        _exit(got == 1 ? 0 : errno == EINTR ? 3 : 4);
      },
      testing::ExitedWithCode(0), "");
  GTEST_FLAG_SET(death_test_style, style);
}

// A guard set up inside a block of fewer signals than it catches blocks
// the rest itself while it installs their handler, and only meanwhile.
TEST(Signals, AGuardInsideANarrowerBlockCatchesItsWholeSet) {
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGTSTP, nullptr, &before), 0);
  if (before.sa_handler == SIG_IGN) GTEST_SKIP() << "SIGTSTP is ignored here: never caught";
  const BlockedSignals blocked(SignalSet::kTerminating);
  const SignalGuard guard(SignalSet::kTerminatingAndStops, nullptr, blocked);
  struct sigaction now {};
  ASSERT_EQ(sigaction(SIGTSTP, nullptr, &now), 0);
  EXPECT_NE(now.sa_handler, before.sa_handler);
  sigset_t mask;
  ASSERT_EQ(sigprocmask(SIG_SETMASK, nullptr, &mask), 0);
  EXPECT_EQ(sigismember(&mask, SIGTSTP), 0);
  EXPECT_EQ(sigismember(&mask, SIGTERM), 1);
}

}  // namespace
