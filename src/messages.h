// SPDX-License-Identifier: Apache-2.0
// What the tool tells the user: the usage text, and one line on standard
// error, in the manner of util-linux ("velmora-account: what failed: why"),
// for each way a run can fail. Each line names the file and, where someone
// blocks the update, who, and what the caller can do about it.
#ifndef VELMORA_MESSAGES_H_
#define VELMORA_MESSAGES_H_

#include "scheduler.h"
#include "store_error.h"

// Writes the usage text to standard error; name replaces every "%s".
void Usage(const char* name);

// An update that did not take place.
void report_store_error(const char* name, const char* printer, const StoreError& error);

// A queue check that could not ask the scheduler.
void report_unreachable_scheduler(const char* name, const QueueLookup& lookup);

#endif  // VELMORA_MESSAGES_H_
