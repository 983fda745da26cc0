// SPDX-License-Identifier: Apache-2.0
// Who runs the tool, and whose credentials it keeps: root's under "root"; an
// ordinary user's under USER, taken as given (a print name the user's jobs
// go out under, say), but never a name of another local account, so that
// nobody can file credentials where another user's runs look, or block them
// there; without USER (cron, a service, env -i), under the login name of the
// real user ID; and, with --user NAME (or a --batch record's "user"), root
// acts for any local account, anyone else only for themselves: a local
// account of their own user ID (their login name), or the name USER files
// them under. Built once per run; the only place that asks the system who
// the caller is, and the one place of that rule (act_for).
//
// Results: find_caller returns kNone with *caller filled in, or the problem
// (*caller still says who runs the tool; nothing is printed: messages.h says
// it). act_for returns a value: kAllowed with the account's owner, or why
// not.
#ifndef VELMORA_CALLER_H_
#define VELMORA_CALLER_H_

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
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

// The local accounts a run names, each looked up once: every request for
// one account then goes the same way, even should the lookup fail.
class AccountLookup {
 public:
  // The account's user ID, or nullopt with *error: 0 when there is no such
  // account, else errno of the lookup that failed.
  std::optional<uid_t> find(const std::string& name, int* error);

 private:
  std::map<std::string, std::pair<std::optional<uid_t>, int>> found_;
};

enum class ActFor {
  kAllowed,
  kNotRoot,        // another's account, and the caller is not root
  kNoSuchAccount,  // no local account of that name
  kLookupFailed,   // the account could not be looked up (error)
};

struct Acting {
  ActFor verdict = ActFor::kAllowed;
  uid_t owner = 0;  // whose the credential file is (kAllowed)
  int error = 0;    // errno of the lookup (kLookupFailed)
};

// Whether caller may act for the account named, and whose file that is.
Acting act_for(const Caller& caller, const std::string& named, AccountLookup& accounts);

#endif  // VELMORA_CALLER_H_
