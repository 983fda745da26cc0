// SPDX-License-Identifier: Apache-2.0
// The tests' copy of the tool and the tests themselves: each test has an
// account directory of its own, which the test names in
// VELMORA_TEST_ACCOUNT_DIR (test_support.h), so that tests run in parallel;
// and the scheduler deadline is a few seconds, so that a test of a silent
// scheduler waits a few seconds. Never linked into a tool that is installed.
#include <csignal>
#include <cstdlib>
#include <string_view>

#include "account_directory.h"
#include "scheduler.h"

std::string_view account_directory() {
  const char* dir = std::getenv("VELMORA_TEST_ACCOUNT_DIR");
  return dir != nullptr && *dir != '\0' ? dir : TEST_ACCOUNT_DIR;
}

std::chrono::seconds scheduler_deadline() { return std::chrono::seconds{TEST_SCHEDULER_DEADLINE}; }

// As the tool exits, once its own code is done with every value: a test
// that searches its memory (VELMORA_TEST_STOP_AT_EXIT=1) stops it here, and
// SIGCONT lets it end with its own status.
__attribute__((destructor)) static void stop_at_exit() {
  const char* stop = std::getenv("VELMORA_TEST_STOP_AT_EXIT");
  if (stop != nullptr && std::string_view(stop) == "1") std::raise(SIGSTOP);
}
