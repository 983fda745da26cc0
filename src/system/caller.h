// SPDX-License-Identifier: Apache-2.0
// Who runs the tool, and whose credentials it keeps: root's under "root"; an
// ordinary user's under USER, taken as given (a print name the user's jobs
// go out under, say), but never a name of another local account, so that
// nobody can file credentials where another user's runs look, or block them
// there; without USER (cron, a service, env -i), under the login name of the
// real user ID; and, with --user NAME, root acts for that local account (an
// ordinary user may name only themselves). Built once per run; the only
// place that asks the system who the caller is.
//
// Results: find_caller returns kNone with *caller filled in, or the problem
// (*caller still says who runs the tool; nothing is printed: messages.h says
// it).
#ifndef VELMORA_CALLER_H_
#define VELMORA_CALLER_H_

#include <sys/types.h>

#include <memory>
#include <string>

enum class CallerProblem {
  kNone,
  kUserUnset,      // USER is not set, and the real user ID has no login name
  kUserUnusable,   // USER is empty, starts with '.' or holds '/'
  kUserIsAnother,  // USER names another local account (root included)
  kNotRoot,        // --user names another account, and the caller is not root
  kNoSuchUser,     // --user names no local account
};

struct Caller {
  uid_t uid = 0;        // the real user ID of the run
  std::string login;    // the caller's login name, or their number
  int login_error = 0;  // errno of a login name lookup that failed, else 0
  bool root() const { return uid == 0; }

  // USER (or, without it, the login name), or null for root: the name the
  // credentials are filed under.
  const char* user = nullptr;
  uid_t owner = 0;                   // whose the credential file is
  const char* acting_for = nullptr;  // --user NAME, as given
  // Whether USER is the caller's login name (always, for root).
  bool user_is_login = true;
  // The name the caller's credentials are filed under, for messages.
  std::string filed_under() const { return user != nullptr ? user : "root"; }
  // Holds what user points to when it is the login name, for every copy.
  std::shared_ptr<const std::string> user_storage;
};

// acting_for: --user NAME, or null; it must outlive *caller.
CallerProblem find_caller(const char* acting_for, Caller* caller);

#endif  // VELMORA_CALLER_H_
