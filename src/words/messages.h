// SPDX-License-Identifier: Apache-2.0
// What the tool tells the user: the usage text, --help and --version on
// standard output, and, for each way a run can end otherwise, one line on
// standard error in the manner of util-linux ("velmora-account: what failed:
// why"). Each line names the file and, where someone blocks the update, who,
// and what the caller can do about it (which depends on who the caller is).
// Every sentence the tool prints is written here; nothing else in the tool
// writes to standard error.
//
// Results: none; each report_ function writes its text and returns. The
// functions returning a string give a field or a phrase for a report.
#ifndef VELMORA_MESSAGES_H_
#define VELMORA_MESSAGES_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "caller.h"
#include "change_refusal.h"
#include "command_line.h"
#include "credential_entry.h"
#include "credential_file.h"
#include "credential_kind.h"
#include "scheduler.h"
#include "store_error.h"

// The program's name in every text: the last part of argv[0], as the C
// library keeps it for util-linux's tools, or "velmora-account".
const char* program_name();

// The usage text, on standard error; --help (the usage text and the long
// options) and --version, on standard output.
void print_usage();
// A command line of the options of old that cannot be run: a line that says
// what is wrong with `word`, then the usage text.
void report_usage(UsageError why, const std::string& word);
void print_help();
void print_version();

// A user's login name, or their number when they have none.
std::string user_name(uid_t uid);

// A command line that cannot be run as given: what is wrong, then the hint
// to --help, as GNU tools give them.
void report_wrong_use(WrongUse what, const std::string& word, const std::string& other);

// USER cannot be used (kUserUnusable, kUserIsAnother) or is not set for a
// user ID with no login name (kUserUnset), or
// --user names someone the caller may not act for.
void report_caller_problem(CallerProblem problem, const Caller& caller);

// The queue named is not one CUPS knows: the line scripts expect.
void report_no_queue();

// --check of a queue CUPS does not know; held: the caller's file still has a
// section of that name.
void report_unknown_queue(const std::string& queue, bool held);

// --batch could not take its records: standard input could not be read
// (errno), was more than `bytes`, or held more than `records`.
void report_batch_input_unreadable(int error);
void report_batch_input_too_large(std::size_t bytes);
void report_batch_input_too_many(std::size_t records);

// The end of a --batch run: how many records changed (or would), were
// already so, and were refused.
void report_batch_summary(std::size_t changed, std::size_t unchanged, std::size_t refused,
                          bool dry_run);

// Why a --batch record was refused, as its answer's "reason" says it:
// one line, in English whatever the locale (batch_messages.cpp).
std::string batch_refusal_text(const Caller& caller, const ChangeRefusal& refusal);

// Memory ran out where nothing else caught it: the run ends there.
void report_out_of_memory();

// --forget of a queue CUPS still has (as it spells it).
void report_queue_in_use(const std::string& queue);

// A queue check that could not ask the scheduler.
void report_unreachable_scheduler(const QueueLookup& lookup);

// What is wrong with a value (no program name, no advice): the ID or user
// name, or (password) the PIN or password of `kind`, as "id: too long: at
// most 7 bytes can be stored, this is 8"; size: the bytes of a value too
// long, told only when given (what a person typed; a script's values are
// not told even by their length).
std::string entry_problem(CredentialKind kind, bool password, EntryResult result,
                          std::optional<std::size_t> size);

// A prompt whose answer was not taken; asked_again: it is asked again, or
// the run ends (kEndOfInput, kReadError with errno, a refusal not typed at
// a terminal). kMismatch: "the PINs (passwords) do not match; type them
// again". An EntryReporter for ask_credentials.
void report_entry(CredentialKind kind, bool password, EntryResult result, std::size_t size,
                  bool asked_again);

// ---- The account files (store_messages.cpp) ---------------------------------

// A read or update of an account file that did not take place, as the
// caller can act on it: for a refused credential file, whether USER is the
// caller's login name too.
void report_store_error(const Caller& caller, const std::string& queue, const StoreError& error);
// The same line, without the program's name and the line feed.
std::string store_error_text(const Caller& caller, const std::string& queue,
                             const StoreError& error);

// An update that took over the leftover of an interrupted one, by its path
// (says nothing for "": it did not).
void report_recovered(const std::string& recovered);

// --forget: which files no longer mention the queue, and which were
// refused (each said before), on standard output.
void report_forgotten(const std::string& queue, const std::vector<std::string>& changed,
                      const std::vector<std::string>& refused, bool dry_run);

// A command only root may give (--all-users, --forget), given by another.
void report_root_only(const std::string& what);

// --check: a replacement file in the way, as its field says it, and what
// to do about it before the fix ("" when nothing).
std::string replacement_file_field(Holder holder, uid_t owner);
std::string first_step(Holder holder, const std::string& replacement_path);

// --check: the function switched on for queue will not find the credentials
// of the kind it needs (job accounting or user authentication) in the
// caller's file: nothing,
// or (incomplete) half of it; the command that fixes it, after first_step
// when there is one.
void report_not_ready(const Caller& caller, const std::string& queue, CredentialKind kind,
                      bool incomplete, const std::string& first_step);

// ---- Damaged sections of a credential file (damage_messages.cpp) ------------

// The names of what is wrong (Damage bits, section_layout.h) as one
// blank-free field, "no-closing-tag,lone-key", or "-".
std::string damage_field(Damage damage);

// A set refused for a damaged section: what is wrong, on which line, and
// the removes that mend it, as the caller can run them; no program name.
std::string damaged_section_text(const Caller& caller, const std::string& path,
                                 const std::string& queue, const SectionDamage& damage);

// --list, --check, --list --all-users: the same, for a section found damaged.
void report_damaged_section(const Caller& caller, const std::string& path, const std::string& queue,
                            const SectionDamage& damage);

// The same for each damaged section of a file; false when any is.
bool report_damaged_sections(const Caller& caller, const std::string& path,
                             const std::vector<SectionEntries>& sections);

// A remove of queue: the lines it took out of its damaged sections, and
// what is still wrong with them; says nothing when neither.
void report_mending(const Caller& caller, const std::string& path, const std::string& queue,
                    const Mending& mending);

#endif  // VELMORA_MESSAGES_H_
