// SPDX-License-Identifier: Apache-2.0
// The tests' copy of the tool and the tests themselves: each test has an
// account directory of its own, which the test names in
// VELMORA_TEST_ACCOUNT_DIR (test_support.h), so that tests run in parallel;
// and the scheduler deadline is a few seconds, so that a test of a silent
// scheduler waits a few seconds. Never linked into a tool that is installed.
#include <cstdlib>

#include "account_directory.h"
#include "scheduler.h"

std::string_view account_directory() {
  const char* dir = std::getenv("VELMORA_TEST_ACCOUNT_DIR");
  return dir != nullptr && *dir != '\0' ? dir : TEST_ACCOUNT_DIR;
}

std::chrono::seconds scheduler_deadline() { return std::chrono::seconds{TEST_SCHEDULER_DEADLINE}; }
