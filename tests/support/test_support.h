// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the tests: each test's own directory, files in its
// account directory, an environment variable set for a scope, the arrays
// execve takes, and a reference Base64.
#ifndef VELMORA_TEST_SUPPORT_H_
#define VELMORA_TEST_SUPPORT_H_

#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "credential_kind.h"

// Skips the rest of the test unless it runs as root (a macro: GTEST_SKIP
// returns from the function).
#define REQUIRE_ROOT(why) \
  if (geteuid() != 0) GTEST_SKIP() << "needs root " why

// Short names for the kinds in test tables.
constexpr CredentialKind kJob = CredentialKind::kJobAccounting;
constexpr CredentialKind kUser = CredentialKind::kUserAuthentication;
constexpr CredentialKind kSecure = CredentialKind::kSecuredPrint;
constexpr std::optional<CredentialKind> kNoKind = std::nullopt;  // every kind, or none
constexpr StatusFunction kOff = StatusFunction::kOff;
constexpr StatusFunction kJobOn = StatusFunction::kJobAccounting;
constexpr StatusFunction kUserOn = StatusFunction::kUserAuthentication;

// The unprivileged account that ordinary-user cases run as (when the tests
// run as root).
constexpr uid_t kOrdinaryUid = 65534;

// A user's credential file, its replacement file, and content for it.
inline const std::string kConf = "alice.conf";
inline const std::string kNew = "alice.conf.new";
inline const std::string kContent = "<lp1>\nid=1111\npassword=2222\n</lp1>\n";

// Each test's own directory under the build tree, named after the running
// test (test_dir.cpp): its account directory and its home, where its sockets
// and scratch files go. So tests run in parallel.
std::string test_dir();
std::string test_home();
// The account directory the tool and the store of this process use: the
// test's own once reset_account_dir made it theirs (VELMORA_TEST_ACCOUNT_DIR).
std::string test_account_dir();

// Empties the test's own account directory (creating it when missing) and
// makes it the one the tool and the store use.
void reset_account_dir();

std::string account_path(const std::string& name);
std::vector<std::string> account_dir_entries();
void write_file(const std::string& path, const std::string& bytes, mode_t mode = 0600);
std::optional<std::string> read_file(const std::string& path);
bool file_exists(const std::string& path);
mode_t file_mode(const std::string& path);

// Sets an environment variable (null: unsets it) until it goes out of scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    set(name, value);
  }
  ~ScopedEnv() { set(name_.c_str(), saved_ ? saved_->c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;  // one restore per change
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  static void set(const char* name, const char* value) {
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }
  std::string name_;
  std::optional<std::string> saved_;
};

// What execve takes of words: a pointer to each, then a null.
std::vector<char*> exec_array(std::vector<std::string>& words);

// Base64 of text, by the encoder under test's reference: an independent
// encoder keeps the store tests from trusting the code they check.
std::string base64(const std::string& text);

#endif  // VELMORA_TEST_SUPPORT_H_
