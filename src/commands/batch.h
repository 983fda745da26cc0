// SPDX-License-Identifier: Apache-2.0
// --batch: credentials for many users and queues in one run, from JSON
// Lines on standard input (batch_record.h), as provisioning and
// configuration management hand them out.
//
// Every record is checked first: its fields and values (by the rules of a
// typed answer), its account (root may name any local account, anyone else
// only themselves; no "user": the caller's own file, or --user NAME's), and
// its queue, from one request to the scheduler for all of them (a queue
// CUPS does not know is refused, but for an absent credential whose file
// has a section of exactly that name). Then each credential file gets all
// its records in one rewrite, through the same trust checks, locks and
// durability as an update: a file is wholly updated, or untouched. A file
// whose bytes would not change is not rewritten. With --dry-run, nothing
// is written.
//
// The answer, on standard output: one JSON line per record, in input
// order, never a value or its length:
//
//   {"line":3,"user":"alice","queue":"office","kind":"job-accounting","result":"changed"}
//   {"line":4,"user":"bob","queue":"lab","kind":"secured-print","result":"refused",
//    "reason":"password: cannot be empty for secured print"}
//
// "result" is "changed" (it would change, with --dry-run), "unchanged" (the
// values were stored already, or there was nothing to remove) or
// "refused", with a one-line reason. A file that could not be written is
// also said once on standard error, as an update says it.
//
// Results: the run's exit status: 0 when no record was refused, else 1.
#ifndef VELMORA_BATCH_H_
#define VELMORA_BATCH_H_

#include "caller.h"

int run_batch(const Caller& caller, bool dry_run);

#endif  // VELMORA_BATCH_H_
