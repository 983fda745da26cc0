// SPDX-License-Identifier: Apache-2.0
// Who runs the tool, and under which name their credentials are filed: root's
// under "root"; an ordinary user's under USER, taken as given (a print name
// the user's jobs go out under, say), but never a name of another local
// account, so that nobody can file credentials where another user's runs
// look, or block them there.
//
// Results: find_caller returns kNone with *caller filled in, or the problem
// (nothing is printed; messages.h says it).
#ifndef VELMORA_CALLER_H_
#define VELMORA_CALLER_H_

#include <string>

enum class CallerProblem {
  kNone,
  kUserUnset,      // USER is not set
  kUserUnusable,   // USER is empty or holds '/'
  kUserIsAnother,  // USER names another local account (root included)
};

struct Caller {
  const char* user = nullptr;  // USER, or null for root: the name the credentials are filed under
  std::string login;           // the caller's login name, or their number
  // Whether USER is the caller's login name (always, for root).
  bool user_is_login = true;
};

CallerProblem find_caller(Caller* caller);

#endif  // VELMORA_CALLER_H_
