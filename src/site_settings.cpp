// SPDX-License-Identifier: Apache-2.0
// What an installed tool takes from its build and nothing else: where the
// account files live and how long the scheduler may take. A small object of
// its own, linked by each executable, so that every other module is built
// once; the tests' copy of the tool links tests/support/test_settings.cpp
// instead.
#include "account_directory.h"
#include "scheduler.h"

#ifndef VELMORA_ACCOUNT_DIR
#error "VELMORA_ACCOUNT_DIR must name the account directory"
#endif

static_assert(sizeof(VELMORA_ACCOUNT_DIR) > 1 && sizeof(VELMORA_ACCOUNT_DIR) - 1 < kMaxPathBytes,
              "the account directory must leave room for file names");

std::string_view account_directory() { return VELMORA_ACCOUNT_DIR; }

std::chrono::seconds scheduler_deadline() { return std::chrono::seconds{25}; }
