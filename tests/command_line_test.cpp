// SPDX-License-Identifier: Apache-2.0
// The command line read into a command, in process: how the options of old
// match by prefix in their order, and how long options answer as
// getopt_long does. The wording and exit statuses are the tool runs'.
#include "command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

CommandLine parse(std::vector<std::string> words) {
  words.insert(words.begin(), "velmora-account");
  return parse_command_line(static_cast<int>(words.size()), exec_array(words).data());
}

// The outcome as one line, so that a row reads as what a run does.
std::string outcome(const CommandLine& line) {
  std::string out;
  switch (line.command) {
    case Command::kUsage:
      return "usage " + std::to_string(static_cast<int>(line.usage)) + " " + line.word;
    case Command::kWrongUse:
      return "wrong " + std::to_string(static_cast<int>(line.wrong)) + " " + line.word + " " +
             line.other;
    case Command::kUpdate:
      out = std::string("update ") + (line.update != nullptr ? line.update->option : "(none)") +
            " as " + line.word;
      break;
    default:
      out = "command " + std::to_string(static_cast<int>(line.command));
  }
  if (!line.queue.empty()) out += " queue " + line.queue;
  if (line.user) out += " for " + *line.user;
  if (line.all_users) out += " all";
  if (line.json) out += " json";
  if (line.dry_run) out += " dry";
  return out;
}

TEST(CommandLine, ReadsEachRunAsItsCommand) {
  const auto usage = [](UsageError e) { return std::to_string(static_cast<int>(e)); };
  const auto wrong = [](WrongUse w) { return std::to_string(static_cast<int>(w)); };
  const auto command = [](Command c) { return std::to_string(static_cast<int>(c)); };
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-pux", "lp1"}, "update -pu as -pux queue lp1"},  // longest option first
      {{"-psq", "lp1"}, "update -ps as -psq queue lp1"},
      {{"-d5", "lp1"}, "update -d as -d5 queue lp1"},
      {{"-Pu", "lp1"}, "update (none) as -Pu queue lp1"},  // judged once the queue is
      {{"", "lp1"}, "update (none) as  queue lp1"},
      {{}, "usage " + usage(UsageError::kNothing) + " "},
      {{"-p"}, "usage " + usage(UsageError::kNeedsQueue) + " -p"},
      {{"-zz"}, "usage " + usage(UsageError::kNoSuchOption) + " -zz"},
      {{"-p", "lp1", "x"}, "usage " + usage(UsageError::kExtraOperand) + " x"},
      {{"--", "-p", "lp1"}, "usage " + usage(UsageError::kExtraOperand) + " lp1"},
      {{"-p", "--he"}, "command " + command(Command::kHelp)},
      {{"--frob", "--help"}, "wrong " + wrong(WrongUse::kUnrecognized) + " --frob "},
      {{"--=x"}, "wrong " + wrong(WrongUse::kAmbiguous) + " -- "},
      {{"--version", "--list"}, "command " + command(Command::kVersion)},
      {{"--user=bob", "-p", "lp1"}, "update -p as -p queue lp1 for bob"},
      {{"-x", "lp1", "--us", "bob"}, "update -x as -x queue lp1 for bob"},
      {{"-p", "lp1", "--user"}, "wrong " + wrong(WrongUse::kNeedsArgument) + " --user "},
      {{"--json=yes", "--list"}, "wrong " + wrong(WrongUse::kTakesNoArgument) + " --json "},
      {{"--list", "--check", "q"}, "wrong " + wrong(WrongUse::kCannotCombine) + " --list --check"},
      {{"--all-users"}, "wrong " + wrong(WrongUse::kAllUsersAlone) + "  "},
      {{"--json", "-p", "q"}, "wrong " + wrong(WrongUse::kJsonAlone) + "  "},
      {{"--dry-run", "--list"}, "wrong " + wrong(WrongUse::kDryRunAlone) + "  "},
      {{"--user", "a", "--forget", "q"}, "wrong " + wrong(WrongUse::kUserMisplaced) + "  "},
      {{"--user", "a", "--list", "--all"}, "wrong " + wrong(WrongUse::kUserMisplaced) + "  "},
      {{"--user", "a", "-p"}, "wrong " + wrong(WrongUse::kUserNeedsCommand) + "  "},
      {{"--user", "a", "-eu", "q"}, "wrong " + wrong(WrongUse::kUserWithSwitch) + " -eu "},
      {{"--list", "x"}, "wrong " + wrong(WrongUse::kExtraOperand) + " x "},
      {{"--check"}, "wrong " + wrong(WrongUse::kNeedsQueue) + " --check "},
      {{"--check", "a", "b"}, "wrong " + wrong(WrongUse::kExtraOperand) + " b "},
      {{"--check", "q", "--all-users", "--json"},
       "command " + command(Command::kCheck) + " queue q all json"},
      {{"--forget", "q", "--dry"}, "command " + command(Command::kForget) + " queue q dry"},
      {{"--batch", "--dry-run", "--user", "a"},
       "command " + command(Command::kBatch) + " for a dry"},
      {{"--list", "--", "--json"}, "wrong " + wrong(WrongUse::kExtraOperand) + " --json "},
  };
  for (const auto& [words, expected] : cases) {
    EXPECT_EQ(outcome(parse(words)), expected) << (words.empty() ? "(none)" : words[0]);
  }
}

}  // namespace
