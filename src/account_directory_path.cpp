// SPDX-License-Identifier: Apache-2.0
// Where the account files live: compiled into a small object of its own, once
// for the installed tool and once for the tests' private directory, so that
// every other module is built once.
#include "account_directory.h"

#ifndef VELMORA_ACCOUNT_DIR
#error "VELMORA_ACCOUNT_DIR must name the account directory"
#endif

static_assert(sizeof(VELMORA_ACCOUNT_DIR) > 1 && sizeof(VELMORA_ACCOUNT_DIR) - 1 < kMaxPathBytes,
              "the account directory must leave room for file names");

extern const char kAccountDir[];
const char kAccountDir[] = VELMORA_ACCOUNT_DIR;
