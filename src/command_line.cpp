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
    {"-ps", Operation::kSetSecuredPrint, CredentialKind::kSecuredPrint, Change::kSet, false},
    {"-xs", Operation::kRemoveSecuredPrint, CredentialKind::kSecuredPrint, Change::kRemove, false},
    {"-pu", Operation::kSetUserAuthentication, CredentialKind::kUserAuthentication, Change::kSet,
     false},
    {"-xu", Operation::kRemoveUserAuthentication, CredentialKind::kUserAuthentication,
     Change::kRemove, false},
    {"-eu", Operation::kEnableUserAuthentication, CredentialKind::kUserAuthentication,
     Change::kSwitch, true},
    {"-p", Operation::kSetJobAccounting, CredentialKind::kJobAccounting, Change::kSet, false},
    {"-x", Operation::kRemoveJobAccounting, CredentialKind::kJobAccounting, Change::kRemove, false},
    {"-e", Operation::kEnableJobAccounting, CredentialKind::kJobAccounting, Change::kSwitch, true},
    {"-d", Operation::kDisable, CredentialKind::kNone, Change::kSwitch, true},
};

const OperationInfo* operation_of(const char* option) {
  for (const OperationInfo& row : kOperations) {
    if (std::strncmp(option, row.option, std::strlen(row.option)) == 0) return &row;
  }
  return nullptr;
}

enum class LongOption { kHelp, kVersion, kList, kCheck };

struct LongName {
  std::string_view name;
  LongOption option;
};
constexpr LongName kLongOptions[] = {
    {"--help", LongOption::kHelp},
    {"--version", LongOption::kVersion},
    {"--list", LongOption::kList},
    {"--check", LongOption::kCheck},
};

// The long option a word names, whole or by an unambiguous prefix.
const LongName* long_option_of(std::string_view word, std::string* problem) {
  const LongName* found = nullptr;
  for (const LongName& candidate : kLongOptions) {
    if (candidate.name == word) return &candidate;
    if (candidate.name.starts_with(word)) {
      if (found != nullptr) {
        *problem = "option '" + std::string(word) + "' is ambiguous";
        return nullptr;
      }
      found = &candidate;
    }
  }
  if (found == nullptr) *problem = "unrecognized option '" + std::string(word) + "'";
  return found;
}

CommandLine wrong_use(std::string problem) {
  CommandLine line;
  line.command = Command::kWrongUse;
  line.problem = std::move(problem);
  return line;
}

}  // namespace

CommandLine parse_command_line(int argc, char** argv) {
  std::vector<const LongName*> options;
  std::vector<const char*> operands;
  bool only_operands = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (only_operands || !word.starts_with("--")) {
      operands.push_back(argv[i]);
    } else if (word == "--") {
      only_operands = true;
    } else {
      std::string problem;
      const LongName* option = long_option_of(word, &problem);
      if (option == nullptr) return wrong_use(problem);
      options.push_back(option);
    }
  }
  CommandLine line;
  if (options.empty()) {
    // Deliberate: the usage text, with status 0, for every wrong line.
    if (argc != 3 || only_operands) return line;
    // An option that matches nothing is still the usage text, but only once
    // the queue has been judged: an unknown queue wins.
    line.update = operation_of(argv[1]);
    line.command = Command::kUpdate;
    line.queue = argv[2];
    return line;
  }
  // As GNU tools do, --help and --version win over anything else.
  for (LongOption wanted : {LongOption::kHelp, LongOption::kVersion}) {
    for (const LongName* option : options) {
      if (option->option == wanted) {
        line.command = wanted == LongOption::kHelp ? Command::kHelp : Command::kVersion;
        return line;
      }
    }
  }
  if (options.size() > 1) {
    return wrong_use(std::string(options[0]->name) + " and " + std::string(options[1]->name) +
                     " cannot be combined");
  }
  if (options[0]->option == LongOption::kList) {
    if (!operands.empty()) return wrong_use("extra operand '" + std::string(operands[0]) + "'");
    line.command = Command::kList;
    return line;
  }
  if (operands.empty()) return wrong_use("--check needs the name of a queue");
  if (operands.size() > 1) return wrong_use("extra operand '" + std::string(operands[1]) + "'");
  line.command = Command::kCheck;
  line.queue = operands[0];
  return line;
}
