// SPDX-License-Identifier: Apache-2.0
#include "caller.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace {

// The login name of uid from its passwd entry, or nullopt when it has none;
// *error is then 0, or errno of a lookup that failed (a name service down).
std::optional<std::string> login_name(uid_t uid, int* error) {
  const long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 1024);
  passwd entry{};
  passwd* found = nullptr;
  int result = 0;
  while ((result = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  // No entry is 0 by POSIX; some name services say ENOENT or ESRCH.
  *error = result == ENOENT || result == ESRCH ? 0 : result;
  if (result != 0 || found == nullptr || found->pw_name == nullptr || found->pw_name[0] == '\0') {
    return std::nullopt;
  }
  return std::string(found->pw_name);
}

// Whose credentials an ordinary user's run keeps, from USER (or the login
// name): fills in caller->user.
CallerProblem file_under_user(const std::optional<std::string>& login, Caller* caller) {
  // Deliberate: USER is taken as given, not looked up from the user ID; only
  // a run without it (cron, a service, env -i) is filed under the login name.
  const char* user = std::getenv("USER");
  if (user == nullptr) {
    if (!login) return CallerProblem::kUserUnset;
    caller->user_storage = std::make_shared<const std::string>(*login);
    user = caller->user_storage->c_str();
  }
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
  if (named != nullptr && named->pw_uid != caller->uid) return CallerProblem::kUserIsAnother;
  return CallerProblem::kNone;
}

}  // namespace

CallerProblem find_caller(const char* acting_for, Caller* caller) {
  *caller = Caller{};
  const uid_t uid = getuid();
  std::optional<std::string> login = login_name(uid, &caller->login_error);
  caller->uid = uid;
  caller->login = login.value_or(std::to_string(uid));
  caller->owner = uid;
  const CallerProblem own = uid == 0 ? CallerProblem::kNone : file_under_user(login, caller);
  if (acting_for == nullptr) return own;
  // With --user, the caller's own filing counts only as a name they may
  // give: a USER that cannot be used names nobody.
  Caller self = *caller;
  if (own != CallerProblem::kNone) self.user = nullptr;
  caller->user = nullptr;
  caller->user_is_login = true;
  caller->user_storage.reset();
  caller->acting_for = acting_for;
  AccountLookup accounts;
  const Acting acting = act_for(self, acting_for, accounts);
  switch (acting.verdict) {
    case ActFor::kAllowed:
      caller->user = acting_for;
      caller->owner = acting.owner;
      return CallerProblem::kNone;
    case ActFor::kNotRoot:
      return CallerProblem::kNotRoot;
    case ActFor::kNoSuchAccount:
    case ActFor::kLookupFailed:
      break;
  }
  return CallerProblem::kNoSuchUser;
}

std::optional<uid_t> AccountLookup::find(const std::string& name, int* error) {
  auto [at, first] = found_.try_emplace(name);
  if (first) {
    errno = 0;
    const passwd* account = getpwnam(name.c_str());
    at->second.first = account != nullptr ? std::optional(account->pw_uid) : std::nullopt;
    // No entry is errno 0 by POSIX; some name services say ENOENT.
    at->second.second = account != nullptr || errno == ENOENT ? 0 : errno;
  }
  *error = at->second.second;
  return at->second.first;
}

Acting act_for(const Caller& caller, const std::string& named, AccountLookup& accounts) {
  // Root acts for any local account, as passwd USER does; anyone else for
  // themselves: the name USER files them under (a print name of their own),
  // or a local account of their own user ID (their login name, or another
  // name of it), as their own runs do.
  const bool own_print_name = !caller.root() && caller.user != nullptr && named == caller.user;
  if (own_print_name) return {ActFor::kAllowed, caller.owner};
  int error = 0;
  const std::optional<uid_t> account = accounts.find(named, &error);
  if (!caller.root() && account != caller.uid) return {ActFor::kNotRoot};
  if (account) return {ActFor::kAllowed, *account};
  return {error == 0 ? ActFor::kNoSuchAccount : ActFor::kLookupFailed, 0, error};
}
