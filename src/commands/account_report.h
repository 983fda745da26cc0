// SPDX-License-Identifier: Apache-2.0
// What is stored for the caller, and what a driver will find: the --list
// and --check commands, and root's --list --all-users. They read the account
// files through the same trust checks as an update (a file an update would
// refuse is reported with the same message, and not read) and never print a
// value or its length.
//
// --list prints a header and one line per queue that has a section in the
// caller's credential file or a line in the status file, fields separated by
// blanks and free of blanks themselves:
//
//   QUEUE  SWITCHED-ON          JOB-ACCOUNTING  USER-AUTHENTICATION  SECURED-PRINT  CUPS
//   lp1    user-authentication  -               stored               incomplete     known
//
// --check prints "field: value" lines about one queue and, when the function
// switched on for it will not find what it needs, one line on standard error
// with the command that fixes it. --list --all-users prints one row per
// section of every credential file (USER, OWNER, QUEUE and the --list
// fields); a file the trust checks refuse is reported and the rest listed.
//
// Results: the run's exit status: 0, or 1 when something could not be read
// or asked (--list) or the driver will not find what it needs or CUPS does
// not know the queue (--check).
#ifndef VELMORA_ACCOUNT_REPORT_H_
#define VELMORA_ACCOUNT_REPORT_H_

#include "account_store.h"
#include "caller.h"
#include "unknown_queue.h"

// json: one JSON document on standard output instead of the table or the
// field lines, with the same fields.
int list_entries(const Caller& caller, bool json);
int check_queue(const Caller& caller, const char* queue, bool json);
int list_all_users(const Caller& caller, bool json);

// The sections of the caller's credential file (unknown_queue.h); none when
// it cannot be read. Says nothing.
FileSections own_sections(const AccountStore& store);

#endif  // VELMORA_ACCOUNT_REPORT_H_
