// SPDX-License-Identifier: Apache-2.0
#include "caller.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

CallerProblem find_caller(const char* acting_for, Caller* caller) {
  *caller = Caller{};
  const uid_t uid = getuid();
  const passwd* me = getpwuid(uid);
  caller->uid = uid;
  caller->login = me != nullptr && me->pw_name != nullptr ? me->pw_name : std::to_string(uid);
  caller->owner = uid;
  if (acting_for != nullptr) {
    caller->acting_for = acting_for;
    // Root acts for any local account, as passwd USER does; a user for
    // themselves only.
    const passwd* account = getpwnam(acting_for);
    if (uid != 0 && (account == nullptr || account->pw_uid != uid)) return CallerProblem::kNotRoot;
    if (account == nullptr) return CallerProblem::kNoSuchUser;
    caller->user = acting_for;
    caller->owner = account->pw_uid;
    return CallerProblem::kNone;
  }
  if (uid == 0) return CallerProblem::kNone;
  // Deliberate: taken as given, not looked up from the user ID.
  const char* user = std::getenv("USER");
  if (user == nullptr) return CallerProblem::kUserUnset;
  caller->user = user;
  // It must not be empty or lead out of the directory; nor start with '.',
  // the replacement files' private names, which root's listings and
  // --forget pass over: a file nobody audits must not be made.
  if (user[0] == '\0' || user[0] == '.' || std::strchr(user, '/') != nullptr) {
    return CallerProblem::kUserUnusable;
  }
  caller->user_is_login = caller->login == user;
  if (caller->user_is_login) return CallerProblem::kNone;
  // A USER left over from another account (after su -m, say) must not make
  // this run create or block that account's file.
  const passwd* named = getpwnam(user);
  if (named != nullptr && named->pw_uid != uid) return CallerProblem::kUserIsAnother;
  return CallerProblem::kNone;
}
