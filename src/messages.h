// SPDX-License-Identifier: Apache-2.0
// What the tool tells the user: the usage text, and one line on standard
// error, in the manner of util-linux ("velmora-account: what failed: why"),
// for each way a run can fail. Each line names the file and, where someone
// blocks the update, who, and what the caller can do about it.
//
// Results: none; each function writes its text and returns.
#ifndef VELMORA_MESSAGES_H_
#define VELMORA_MESSAGES_H_

#include <sys/types.h>

#include <string>

#include "credential_entry.h"
#include "scheduler.h"
#include "store_error.h"

// Writes the usage text to standard error; name replaces every "%s".
void Usage(const char* name);

// --help: the usage text and the long options, on standard output.
void print_help(const char* name);

// A user's login name, or their number when they have none.
std::string user_name(uid_t uid);

// An update that did not take place.
void report_store_error(const char* name, const char* printer, const StoreError& error);

// A prompt whose answer was not taken (kUnconvertible: it is asked again) or
// that ended the run (kEndOfInput, kReadError with errno). `what` names the
// entry as the user knows it: "id", "user name" or "pin".
void report_entry(const char* name, const char* what, EntryResult result);

// A queue check that could not ask the scheduler.
void report_unreachable_scheduler(const char* name, const QueueLookup& lookup);

#endif  // VELMORA_MESSAGES_H_
