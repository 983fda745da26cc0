// SPDX-License-Identifier: Apache-2.0
// --forget QUEUE, for root, after a queue is deleted from CUPS (one CUPS
// still knows, in any letter case, is refused): its line
// goes from the status file, and its sections (every kind, in its own
// spelling and any other letter case) from every user's credential file.
// Each file goes through the same rewrite and trust checks as an update and
// stays its user's; a file refused (planted, or being updated this moment:
// reported, not waited on) does not stop the others; a file that never
// mentions the queue is left as it is.
//
// Results: the run's exit status: 0 when nothing was refused, else 1. Each
// refusal is said as an update would say it, then one summary line.
#ifndef VELMORA_FORGET_H_
#define VELMORA_FORGET_H_

#include <string>
#include <vector>

#include "account_store.h"
#include "caller.h"
#include "change_plan.h"

// dry_run: every check and the same answer, naming the files it would
// change, and nothing written.
int forget_queue(const Caller& caller, const char* queue, bool dry_run);

// The files changed and the files refused (each refusal said as it comes).
struct Forgotten {
  std::vector<std::string> changed;
  std::vector<std::string> refused;
};
// The forget itself, once CUPS said it has no such queue (answer) and the
// store is open: the directory listed, the request planned over the status
// file and every credential file, each changed in turn (mode: written or
// previewed). forget_queue's work, and the store harness's.
Forgotten forget_in_every_file(const Caller& caller, const AccountStore& store,
                               const ChangeRequest& request, const QueueAnswer& answer,
                               Commit mode);

#endif  // VELMORA_FORGET_H_
