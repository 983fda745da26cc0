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

#include "caller.h"
#include "credential_entry.h"
#include "credential_kind.h"
#include "scheduler.h"
#include "store_error.h"

// Writes the usage text to standard error; name replaces every "%s".
void Usage(const char* name);

// --help: the usage text and the long options, on standard output.
void print_help(const char* name);

// A user's login name, or their number when they have none.
std::string user_name(uid_t uid);

// An update that did not take place. caller (when given) lets a refused
// credential file say that USER is not the caller's login name.
void report_store_error(const char* name, const char* printer, const StoreError& error,
                        const Caller* caller = nullptr);

// An update that took over the leftover of an interrupted one (says nothing
// when it did not).
void report_recovered(const char* name, const StoreError& error);

// USER cannot be used (kUserUnset, kUserUnusable, kUserIsAnother).
void report_caller_problem(const char* name, CallerProblem problem, const Caller& caller);

// A long option unknown or used wrongly: the problem, then the hint to
// --help, as GNU tools give them.
void report_wrong_use(const char* name, const std::string& problem);

// The queue named is not one CUPS knows: the spec'd line for an update.
void report_no_queue();

// --check of a queue CUPS does not know; held: the caller's file still has a
// section of that name.
void report_unknown_queue(const char* name, const std::string& queue, bool held);

// A prompt whose answer was not taken (it is asked again) or that ended the
// run (kEndOfInput, kReadError with errno): the ID or user name, or
// (password) the PIN or password of `kind`.
void report_entry(const char* name, CredentialKind kind, bool password, EntryResult result);

// A queue check that could not ask the scheduler.
void report_unreachable_scheduler(const char* name, const QueueLookup& lookup);

#endif  // VELMORA_MESSAGES_H_
