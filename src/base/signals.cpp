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

bool is_stop(int signo) { return signo == SIGTSTP || signo == SIGTTIN || signo == SIGTTOU; }

// What a signal of a set is to the handler.
enum class Catch : sig_atomic_t {
  kNotCaught = 0,  // not yet, or given back by the handler
  kCaught,         // the handler's, until it is taken
  kLeftAlone,      // ignored when first needed (or not to be caught): never caught
};

// What the handler reaches: the signals it catches, what each did before,
// and the guard in force. The handler stays installed from the first guard
// on: making and releasing a guard changes no disposition. Changed, but
// for `guarding`, only while the signals of a guard are blocked.
struct Slot {
  // 0: no guard in force; else 1 + its SignalSet.
  volatile sig_atomic_t guarding = 0;
  volatile sig_atomic_t interrupted = 0;
  SignalHook volatile hook = nullptr;
  volatile Catch caught[NSIG] = {};
  struct sigaction previous[NSIG] = {};
};
Slot g_slot;

sig_atomic_t guarding_of(SignalSet set) { return 1 + static_cast<sig_atomic_t>(set); }

// Whether the guard in force covers a signal: a stop only when its set has
// the stops.
bool covered(int signo) {
  const sig_atomic_t guarding = g_slot.guarding;
  if (guarding == 0) return false;
  return !is_stop(signo) || guarding == guarding_of(SignalSet::kTerminatingAndStops);
}

extern "C" void on_guarded_signal(int signo) {
  int saved = errno;
  if (covered(signo)) {
    g_slot.guarding = 0;  // taken: no longer in force
    const SignalHook hook = g_slot.hook;
    if (hook != nullptr) hook();
    g_slot.interrupted = 1;
  }
  // What it did before, until a guard needs it again: blocked while the
  // handler runs, it is taken that way as soon as the handler returns.
  sigaction(signo, &g_slot.previous[signo], nullptr);
  g_slot.caught[signo] = Catch::kNotCaught;
  raise(signo);
  errno = saved;
}

// One call both installs the handler and tells what it replaces; a signal
// the process ignores (nohup, say) is put back at once, and stays ignored.
void catch_signal(int signo) {
  struct sigaction action {};
  action.sa_handler = on_guarded_signal;
  sigfillset(&action.sa_mask);  // no handler runs inside another
  // Restarted: the handler stays installed for the whole run, and a call
  // cut short by a stop it passes on must go on after SIGCONT as it would
  // have under the default action. The prompt's wait (ppoll) returns to
  // look whatever this says.
  action.sa_flags = SA_RESTART;
  struct sigaction& previous = g_slot.previous[signo];
  if (sigaction(signo, &action, &previous) != 0) {
    g_slot.caught[signo] = Catch::kLeftAlone;  // keeps its default
  } else if (previous.sa_handler == SIG_IGN) {
    sigaction(signo, &previous, nullptr);
    g_slot.caught[signo] = Catch::kLeftAlone;
  } else {
    g_slot.caught[signo] = Catch::kCaught;
  }
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

BlockedSignals::BlockedSignals(SignalSet set) : set_(set) {
  sigset_t blocked = signal_set(set);
  sigprocmask(SIG_BLOCK, &blocked, &previous_);
}

BlockedSignals::~BlockedSignals() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

SignalGuard::SignalGuard(SignalSet set, SignalHook hook) {
  const BlockedSignals blocked(set);
  install(set, hook);
}

SignalGuard::SignalGuard(SignalSet set, SignalHook hook, const BlockedSignals& blocked) {
  if (blocked.set() == set || blocked.set() == SignalSet::kTerminatingAndStops) {
    install(set, hook);
    return;
  }
  const BlockedSignals more(set);
  install(set, hook);
}

void SignalGuard::install(SignalSet set, SignalHook hook) {
  const sigset_t members = signal_set(set);
  for (int signo = 1; signo < NSIG; ++signo) {
    if (g_slot.caught[signo] == Catch::kNotCaught && sigismember(&members, signo) == 1) {
      catch_signal(signo);
    }
  }
  g_slot.hook = hook;
  g_slot.interrupted = 0;
  g_slot.guarding = guarding_of(set);
}

void SignalGuard::release() noexcept {
  // The handler looks at the hook only while a guard is in force.
  g_slot.guarding = 0;
  g_slot.hook = nullptr;
}

bool SignalGuard::interrupted() noexcept { return g_slot.interrupted != 0; }
