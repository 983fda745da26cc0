// SPDX-License-Identifier: Apache-2.0
// Signals: which ones can end or stop a run, and a guard that lets a run
// clean up before such a signal takes its course. Both the hidden password
// entry (terminal state) and the replacement file (its name on disk) use it.
//
// Calling sequence:
//
//   SignalGuard guard(SignalSet::kTerminating, hook);  // hook: async-signal-safe
//   SignalGuard guard(SignalSet::kTerminating, hook, blocked);  // inside a block
//   ...                                  // a signal now runs hook first
//   { BlockedSignals blocked(SignalSet::kTerminating);  // for steps that
//     ... }                              // must not be cut short
//
// The first guard that needs a signal installs the handler for it, with one
// call, and leaves it installed: later guards, and releasing one, change no
// disposition. With no guard in force (or a stop, under a guard without the
// stops) the handler puts back what the signal did before and raises it
// again, so it takes its course as if never caught. When a guarded signal
// arrives, the handler runs the hook, puts back what that signal did
// before, notes the signal and raises it again: the process then ends,
// stops or goes on exactly as it would have without the guard. A signal
// the process ignores when first needed is never caught, and stays
// ignored. A stopped process that is continued returns to its code with the
// guard no longer in force; interrupted() tells it so, and it builds a new
// guard to go on (which catches the signal again).
//
// One guard is in force at a time (a signal handler can reach only one).
// The dispositions of the signals of a set are this module's once a guard
// has needed them: nothing else changes them meanwhile.
//
// Results: none but interrupted(); the guards cannot fail in a way the
// caller could act on (a signal that cannot be caught keeps its default).
#ifndef VELMORA_SIGNALS_H_
#define VELMORA_SIGNALS_H_

#include <signal.h>

enum class SignalSet {
  // Every signal another process or the terminal can send whose default
  // action ends the process, the real-time signals included.
  kTerminating,
  // The same, and the stop signals a terminal sends (TSTP, TTIN, TTOU).
  kTerminatingAndStops,
};

// The signals of a set as a sigset_t.
sigset_t signal_set(SignalSet set);

// Blocks a set of signals for its lifetime; they are delivered, in their
// turn, once the previous mask is back.
class BlockedSignals {
 public:
  explicit BlockedSignals(SignalSet set);
  BlockedSignals(const BlockedSignals&) = delete;
  BlockedSignals& operator=(const BlockedSignals&) = delete;
  ~BlockedSignals();
  // The mask in force before the guard: what a wait should run with.
  const sigset_t& previous() const { return previous_; }
  // The set it blocks.
  SignalSet set() const { return set_; }

 private:
  SignalSet set_;
  sigset_t previous_;
};

using SignalHook = void (*)();

class SignalGuard {
 public:
  // Catches every signal of `set` the process does not ignore. hook (may be
  // null) must be async-signal-safe.
  SignalGuard(SignalSet set, SignalHook hook);
  // The same, where the caller holds those signals blocked already (which
  // the guard needs while it sets up): it does not block them again, but
  // for any of `set` that `blocked` does not cover.
  SignalGuard(SignalSet set, SignalHook hook, const BlockedSignals& blocked);
  SignalGuard(const SignalGuard&) = delete;
  SignalGuard& operator=(const SignalGuard&) = delete;
  ~SignalGuard() { release(); }

  // Ends the guard now (also done by the destructor); the handler stays.
  void release() noexcept;

  // Whether a guarded signal has been taken, so that the guard is no longer
  // in force: a stop signal, then SIGCONT, or a signal whose previous
  // disposition was a handler of the caller's.
  static bool interrupted() noexcept;

 private:
  static void install(SignalSet set, SignalHook hook);
};

#endif  // VELMORA_SIGNALS_H_
