// SPDX-License-Identifier: Apache-2.0
// The command line: which command a run does, read once.
//
//   velmora-account [--user NAME] OPTION QUEUE     an update (the option table)
//   velmora-account [--user NAME] --list [--json]
//   velmora-account [--user NAME] --check QUEUE [--json]
//   velmora-account --list --all-users [--json]
//   velmora-account --forget QUEUE
//   velmora-account [--user NAME] --batch [--dry-run]
//   velmora-account --help | --version
//
// The update options are matched by their first bytes, longest first, so
// "-pux" acts as "-pu"; without a long option, any command line that is not
// two operands is the usage text, after a line that says what is wrong.
// Every word that starts with "--" (before a lone "--") is a long option of
// this tool's, anywhere on the line, matched whole or by an unambiguous
// prefix, its argument after "=" or as the next word, as getopt_long does.
//
// Results: parse_command_line returns a CommandLine; kWrongUse carries what
// is wrong, to be shown with a hint to --help, and kUsage why, to be shown
// before the usage text (both status 2).
#ifndef VELMORA_COMMAND_LINE_H_
#define VELMORA_COMMAND_LINE_H_

#include <optional>
#include <string>

#include "credential_kind.h"

// What an update option does.
enum class Operation {
  kSetJobAccounting,
  kRemoveJobAccounting,
  kEnableJobAccounting,
  kDisable,  // both functions off
  kSetUserAuthentication,
  kRemoveUserAuthentication,
  kEnableUserAuthentication,
  kSetSecuredPrint,
  kRemoveSecuredPrint,
};

enum class Change { kSet, kRemove, kSwitch };

// One row of the option table.
struct OperationInfo {
  const char* option;
  Operation operation;
  Change change;
  std::optional<CredentialKind> kind;  // kSet, kRemove: whose credentials
  StatusFunction function;             // kSwitch: what is switched on
  bool root_only;
};

// Why a command line cannot be run as given (messages.h words it, as GNU
// tools do).
enum class WrongUse {
  kNone,
  kAmbiguous,         // the long option `word` is ambiguous
  kUnrecognized,      // `word` is no long option
  kNeedsArgument,     // the option `word` needs an argument
  kTakesNoArgument,   // the option `word` takes none
  kCannotCombine,     // the commands `word` and `other` cannot be combined
  kAllUsersAlone,     // --all-users without --list
  kJsonAlone,         // --json without --list or --check
  kUserMisplaced,     // --user with a command it does not go with
  kUserNeedsCommand,  // --user without an option and a queue
  kUserWithSwitch,    // --user with -e, -eu or -d (`word`), which switch for the machine
  kDryRunAlone,       // --dry-run without --batch
  kExtraOperand,      // `word` is one operand too many
  kNeedsQueue,        // the command `word` needs a queue
};

// Why a command line of the options of old cannot be run (messages.h words
// it before the usage text).
enum class UsageError {
  kNothing,       // no word at all
  kNeedsQueue,    // the option `word` alone
  kNoSuchOption,  // `word` matches no option
  kExtraOperand,  // `word` is past the option and the queue
  kRootOnly,      // the option `word` is root's, and the caller is not (found when run)
};

enum class Command {
  kUsage,     // the usage text (the answer of old to any wrong line), status 2
  kHelp,      // --help
  kVersion,   // --version
  kList,      // --list (all_users: every user's file)
  kCheck,     // --check QUEUE
  kForget,    // --forget QUEUE
  kBatch,     // --batch: records on standard input
  kUpdate,    // OPTION QUEUE
  kWrongUse,  // a long option unknown, or with the wrong operands
};

struct CommandLine {
  Command command = Command::kUsage;
  const OperationInfo* update = nullptr;    // kUpdate; null: no option matched (usage)
  std::string queue;                        // kCheck, kForget, kUpdate
  std::optional<std::string> user;          // --user NAME: act for that account
  bool all_users = false;                   // --all-users
  bool json = false;                        // --json
  bool dry_run = false;                     // --dry-run
  WrongUse wrong = WrongUse::kNone;         // kWrongUse: what is wrong
  UsageError usage = UsageError::kNothing;  // kUsage: what is wrong
  // kWrongUse, kUsage: the words it is about; kUpdate: the option as given.
  std::string word, other;
};

CommandLine parse_command_line(int argc, char** argv);

#endif  // VELMORA_COMMAND_LINE_H_
