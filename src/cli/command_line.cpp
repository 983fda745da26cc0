// SPDX-License-Identifier: Apache-2.0
#include "command_line.h"

#include <cstring>
#include <string_view>
#include <vector>

namespace {

// Deliberate: an option is matched by its first bytes, in this order, so
// "-pux" acts as "-pu" and "-p" followed by anything else as "-p"; scripts
// may rely on it.
constexpr OperationInfo kOperations[] = {
    {"-ps", Operation::kSetSecuredPrint, Change::kSet, CredentialKind::kSecuredPrint,
     StatusFunction::kOff, false},
    {"-xs", Operation::kRemoveSecuredPrint, Change::kRemove, CredentialKind::kSecuredPrint,
     StatusFunction::kOff, false},
    {"-pu", Operation::kSetUserAuthentication, Change::kSet, CredentialKind::kUserAuthentication,
     StatusFunction::kOff, false},
    {"-xu", Operation::kRemoveUserAuthentication, Change::kRemove,
     CredentialKind::kUserAuthentication, StatusFunction::kOff, false},
    {"-eu", Operation::kEnableUserAuthentication, Change::kSwitch, std::nullopt,
     StatusFunction::kUserAuthentication, true},
    {"-p", Operation::kSetJobAccounting, Change::kSet, CredentialKind::kJobAccounting,
     StatusFunction::kOff, false},
    {"-x", Operation::kRemoveJobAccounting, Change::kRemove, CredentialKind::kJobAccounting,
     StatusFunction::kOff, false},
    {"-e", Operation::kEnableJobAccounting, Change::kSwitch, std::nullopt,
     StatusFunction::kJobAccounting, true},
    {"-d", Operation::kDisable, Change::kSwitch, std::nullopt, StatusFunction::kOff, true},
};

const OperationInfo* operation_of(const char* option) {
  for (const OperationInfo& row : kOperations) {
    if (std::strncmp(option, row.option, std::strlen(row.option)) == 0) return &row;
  }
  return nullptr;
}

enum class LongOption {
  kHelp,
  kVersion,
  kList,
  kCheck,
  kForget,
  kBatch,
  kUser,
  kAllUsers,
  kJson,
  kDryRun
};

struct LongName {
  std::string_view name;
  LongOption option;
  bool takes_argument;
};
constexpr LongName kLongOptions[] = {
    {"--help", LongOption::kHelp, false},          {"--version", LongOption::kVersion, false},
    {"--list", LongOption::kList, false},          {"--check", LongOption::kCheck, false},
    {"--forget", LongOption::kForget, false},      {"--user", LongOption::kUser, true},
    {"--all-users", LongOption::kAllUsers, false}, {"--json", LongOption::kJson, false},
    {"--batch", LongOption::kBatch, false},        {"--dry-run", LongOption::kDryRun, false},
};

// The long option a word names, whole or by an unambiguous prefix.
const LongName* long_option_of(std::string_view word, WrongUse* problem) {
  const LongName* found = nullptr;
  for (const LongName& candidate : kLongOptions) {
    if (candidate.name == word) return &candidate;
    if (candidate.name.starts_with(word)) {
      if (found != nullptr) {
        *problem = WrongUse::kAmbiguous;
        return nullptr;
      }
      found = &candidate;
    }
  }
  if (found == nullptr) *problem = WrongUse::kUnrecognized;
  return found;
}

CommandLine wrong_use(WrongUse what, std::string_view word = {}, std::string_view other = {}) {
  CommandLine line;
  line.command = Command::kWrongUse;
  line.wrong = what;
  line.word = word;
  line.other = other;
  return line;
}

// The usage text, for the words of a line of the options of old that are
// not an option and a queue: the first is the option, the second the queue.
CommandLine usage(const std::vector<const char*>& words) {
  CommandLine line;
  if (words.size() > 2) {
    line.usage = UsageError::kExtraOperand;
    line.word = words[2];
  } else if (!words.empty()) {
    line.usage =
        operation_of(words[0]) != nullptr ? UsageError::kNeedsQueue : UsageError::kNoSuchOption;
    line.word = words[0];
  }
  return line;
}

}  // namespace

CommandLine parse_command_line(int argc, char** argv) {
  CommandLine line;
  std::vector<const LongName*> commands;  // --help, --version, --list, --check, --forget
  std::vector<const char*> operands;
  bool long_options = false;
  bool only_operands = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (only_operands || !word.starts_with("--")) {
      operands.push_back(argv[i]);
      continue;
    }
    if (word == "--") {
      only_operands = true;
      continue;
    }
    const std::size_t equals = word.find('=');
    WrongUse problem = WrongUse::kNone;
    const LongName* option = long_option_of(word.substr(0, equals), &problem);
    if (option == nullptr) return wrong_use(problem, word.substr(0, equals));
    long_options = true;
    std::optional<std::string> argument;
    if (equals != std::string_view::npos) argument = std::string(word.substr(equals + 1));
    if (option->takes_argument && !argument) {
      if (i + 1 == argc) return wrong_use(WrongUse::kNeedsArgument, option->name);
      argument = argv[++i];
    }
    if (!option->takes_argument && argument) {
      return wrong_use(WrongUse::kTakesNoArgument, option->name);
    }
    switch (option->option) {
      case LongOption::kUser:
        line.user = argument;
        break;
      case LongOption::kAllUsers:
        line.all_users = true;
        break;
      case LongOption::kJson:
        line.json = true;
        break;
      case LongOption::kDryRun:
        line.dry_run = true;
        break;
      default:
        commands.push_back(option);
        break;
    }
  }
  // As GNU tools do, --help and --version win over anything else.
  for (LongOption wanted : {LongOption::kHelp, LongOption::kVersion}) {
    for (const LongName* option : commands) {
      if (option->option == wanted) {
        line.command = wanted == LongOption::kHelp ? Command::kHelp : Command::kVersion;
        return line;
      }
    }
  }
  if (commands.size() > 1) {
    return wrong_use(WrongUse::kCannotCombine, commands[0]->name, commands[1]->name);
  }
  const std::optional<LongOption> command =
      commands.empty() ? std::nullopt : std::optional(commands[0]->option);
  if (line.all_users && command != LongOption::kList && command != LongOption::kCheck) {
    return wrong_use(WrongUse::kAllUsersAlone);
  }
  if (line.json && command != LongOption::kList && command != LongOption::kCheck) {
    return wrong_use(WrongUse::kJsonAlone);
  }
  if (line.dry_run && command != LongOption::kBatch && command != LongOption::kForget) {
    return wrong_use(WrongUse::kDryRunAlone);
  }
  if (line.user && (line.all_users || command == LongOption::kForget)) {
    return wrong_use(WrongUse::kUserMisplaced);
  }
  if (!command) {
    // The usage text for every wrong line of the options of old (status 2,
    // as for any command line that cannot be run); with --user, the line
    // is ours.
    if (!long_options && argc != 3) {
      return usage(argc > 1 ? std::vector<const char*>(argv + 1, argv + argc)
                            : std::vector<const char*>());
    }
    if (operands.size() != 2) {
      return line.user ? wrong_use(WrongUse::kUserNeedsCommand) : usage(operands);
    }
    // An option that matches nothing is still the usage text, but only once
    // the queue has been judged: an unknown queue wins.
    line.update = operation_of(operands[0]);
    // The status file is the machine's: no user's to act for.
    if (line.user && line.update != nullptr && line.update->change == Change::kSwitch) {
      return wrong_use(WrongUse::kUserWithSwitch, line.update->option);
    }
    line.command = Command::kUpdate;
    line.word = operands[0];
    line.queue = operands[1];
    return line;
  }
  if (*command == LongOption::kList || *command == LongOption::kBatch) {
    if (!operands.empty()) return wrong_use(WrongUse::kExtraOperand, operands[0]);
    line.command = *command == LongOption::kList ? Command::kList : Command::kBatch;
    return line;
  }
  if (operands.empty()) return wrong_use(WrongUse::kNeedsQueue, commands[0]->name);
  if (operands.size() > 1) return wrong_use(WrongUse::kExtraOperand, operands[1]);
  line.command = *command == LongOption::kCheck ? Command::kCheck : Command::kForget;
  line.queue = operands[0];
  return line;
}
