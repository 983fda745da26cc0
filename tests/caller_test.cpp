// SPDX-License-Identifier: Apache-2.0
// Who runs the tool and whose credentials it keeps: USER, the login name
// and --user, for root and for ordinary users, in this process (as root,
// with its real user ID changed for each case).
#include "caller.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "test_support.h"

namespace {

constexpr uid_t kNoLogin = 54321;  // a user ID without a passwd entry

// Finds the caller with this process's real user ID and USER set for the
// call (the effective user ID stays root's, so that both are put back);
// *filed_under: caller->user, read while USER still holds it ("(root)": null).
CallerProblem find_caller_as(uid_t uid, const std::optional<std::string>& user,
                             const char* acting_for, Caller* caller, std::string* filed_under) {
  const ScopedEnv env("USER", user ? user->c_str() : nullptr);
  EXPECT_EQ(setresuid(uid, 0, 0), 0);
  const CallerProblem problem = find_caller(acting_for, caller);
  *filed_under = caller->user != nullptr ? caller->user : "(root)";
  EXPECT_EQ(setresuid(0, 0, 0), 0);
  return problem;
}

TEST(Caller, FilesUnderUserOrTheLoginNameAndActsOnlyAsAllowed) {
  REQUIRE_ROOT("to run as other users");
  struct Case {
    uid_t uid;
    std::optional<std::string> user;  // USER; nullopt: unset
    const char* acting_for;           // --user, or null
    CallerProblem problem;
    const char* filed_under = nullptr;  // kNone: caller.user (null: root's own)
    uid_t owner = 0;
    bool user_is_login = true;
  } cases[] = {
      {kOrdinaryUid, "nobody", nullptr, CallerProblem::kNone, "nobody", kOrdinaryUid},
      {kOrdinaryUid, std::nullopt, nullptr, CallerProblem::kNone, "nobody", kOrdinaryUid},
      {kOrdinaryUid, "printer7", nullptr, CallerProblem::kNone, "printer7", kOrdinaryUid, false},
      {kOrdinaryUid, "", nullptr, CallerProblem::kUserUnusable},
      {kOrdinaryUid, "../x", nullptr, CallerProblem::kUserUnusable},
      {kOrdinaryUid, ".x", nullptr, CallerProblem::kUserUnusable},
      {kOrdinaryUid, "root", nullptr, CallerProblem::kUserIsAnother},
      {kNoLogin, std::nullopt, nullptr, CallerProblem::kUserUnset},
      {kNoLogin, "printer7", nullptr, CallerProblem::kNone, "printer7", kNoLogin, false},
      {0, "alice", nullptr, CallerProblem::kNone, nullptr, 0},  // root files as root
      {0, std::nullopt, "nobody", CallerProblem::kNone, "nobody", kOrdinaryUid},
      {0, "root", "no-such-account", CallerProblem::kNoSuchUser},
      {kOrdinaryUid, "nobody", "root", CallerProblem::kNotRoot},
      {kOrdinaryUid, "printer7", "printer7", CallerProblem::kNone, "printer7", kOrdinaryUid},
      {kOrdinaryUid, "printer7", "nobody", CallerProblem::kNone, "nobody", kOrdinaryUid},
      // A USER that cannot be used names nobody, but the login name still does.
      {kOrdinaryUid, "", "nobody", CallerProblem::kNone, "nobody", kOrdinaryUid},
      {kOrdinaryUid, "", "", CallerProblem::kNotRoot},
  };
  for (const Case& c : cases) {
    const std::string label = std::to_string(c.uid) + " USER=" + c.user.value_or("(unset)") +
                              " --user " + (c.acting_for != nullptr ? c.acting_for : "(none)");
    Caller caller;
    std::string filed_under;
    const CallerProblem problem =
        find_caller_as(c.uid, c.user, c.acting_for, &caller, &filed_under);
    EXPECT_EQ(problem, c.problem) << label;
    EXPECT_EQ(caller.uid, c.uid) << label;
    if (c.uid == kNoLogin) {
      EXPECT_EQ(caller.login, std::to_string(kNoLogin)) << label;
    }
    if (problem != CallerProblem::kNone) continue;
    EXPECT_EQ(filed_under, c.filed_under != nullptr ? c.filed_under : "(root)") << label;
    EXPECT_EQ(caller.owner, c.owner) << label;
    EXPECT_EQ(caller.user_is_login, c.user_is_login) << label;
  }
}

}  // namespace
