// SPDX-License-Identifier: Apache-2.0
#include "signals.h"

#include <cerrno>
#include <cstring>

namespace {

// Default action: end the process (some with a core, which the tool's
// non-dumpable state suppresses). The faults are here too: another process
// can send them with kill, and a real fault still ends the run once the
// guard has put the default back.
constexpr int kStandardTerminating[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1, SIGSEGV,
    SIGUSR2,   SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#if defined(SIGIO)
    SIGIO,
#elif defined(SIGPOLL)
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};
constexpr int kStops[] = {SIGTSTP, SIGTTIN, SIGTTOU};

// What the handler reaches: the guard in force. Changed only while every
// guarded signal is blocked.
struct Slot {
  volatile sig_atomic_t active = 0;
  volatile sig_atomic_t interrupted = 0;
  SignalHook hook = nullptr;
  bool changed[NSIG] = {};
  struct sigaction previous[NSIG] = {};
};
Slot g_slot;

// Async-signal-safe.
void restore_dispositions() {
  for (int signo = 1; signo < NSIG; ++signo) {
    if (g_slot.changed[signo]) sigaction(signo, &g_slot.previous[signo], nullptr);
    g_slot.changed[signo] = false;
  }
  g_slot.active = 0;
}

extern "C" void on_guarded_signal(int signo) {
  int saved = errno;
  if (g_slot.active != 0) {
    if (g_slot.hook != nullptr) g_slot.hook();
    restore_dispositions();
  }
  g_slot.interrupted = 1;
  // Blocked while the handler runs; taken with the restored disposition
  // as soon as it returns.
  raise(signo);
  errno = saved;
}

}  // namespace

sigset_t signal_set(SignalSet set) {
  sigset_t result;
  sigemptyset(&result);
  for (int signo : kStandardTerminating) sigaddset(&result, signo);
  for (int signo = SIGRTMIN; signo <= SIGRTMAX; ++signo) sigaddset(&result, signo);
  if (set == SignalSet::kTerminatingAndStops) {
    for (int signo : kStops) sigaddset(&result, signo);
  }
  return result;
}

BlockedSignals::BlockedSignals(SignalSet set) {
  sigset_t blocked = signal_set(set);
  sigprocmask(SIG_BLOCK, &blocked, &previous_);
}

BlockedSignals::~BlockedSignals() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

SignalGuard::SignalGuard(SignalSet set, SignalHook hook) {
  BlockedSignals blocked(set);
  restore_dispositions();  // a guard left over would otherwise be lost
  const sigset_t members = signal_set(set);
  struct sigaction action {};
  action.sa_handler = on_guarded_signal;
  sigfillset(&action.sa_mask);  // no handler runs inside another
  action.sa_flags = 0;          // no SA_RESTART: a wait returns to look
  g_slot.hook = hook;
  g_slot.interrupted = 0;
  for (int signo = 1; signo < NSIG; ++signo) {
    if (sigismember(&members, signo) != 1) continue;
    struct sigaction& previous = g_slot.previous[signo];
    // A signal the caller ignores (nohup, say) stays ignored.
    if (sigaction(signo, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    g_slot.changed[signo] = sigaction(signo, &action, nullptr) == 0;
  }
  g_slot.active = 1;
}

void SignalGuard::release() noexcept {
  int saved = errno;
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);
  if (g_slot.active != 0) restore_dispositions();
  g_slot.hook = nullptr;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  errno = saved;
}

bool SignalGuard::interrupted() noexcept { return g_slot.interrupted != 0; }
