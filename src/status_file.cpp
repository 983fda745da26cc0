// SPDX-License-Identifier: Apache-2.0
#include "status_file.h"

#include <unistd.h>

#include <cerrno>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "account_directory.h"
#include "line_reader.h"
#include "replacement_file.h"
#include "unique_fd.h"

namespace {

bool update_status(const char* printer, CredentialKind kind, StoreError* error) {
  bool cut_old = false;
  bool cut_new = false;
  auto path = make_file_path(PathForm::kShared, nullptr, "status", &cut_old);
  auto next = make_file_path(PathForm::kShared, nullptr, "status.new", &cut_new);
  if (!path || !next) return fail(error, StoreStep::kMemory, "", ENOMEM);
  if (cut_old || cut_new) return fail(error, StoreStep::kPathTooLong, *path, ENAMETOOLONG);

  LineBuffer new_line;
  if (!format_line(new_line, "<%s>%s</%s>\n", printer, status_value(kind), printer)) {
    return fail(error, StoreStep::kLineTooLong, *next, EOVERFLOW);
  }
  // A line is the printer's status line exactly when it is one of these three.
  // Deliberate: any other spelling, case or printer name is copied as it is.
  LineBuffer known[3];
  const char* values[] = {"ON", "U_ON", "OFF"};
  bool formatted[3];
  for (int i = 0; i < 3; ++i) {
    formatted[i] = format_line(known[i], "<%s>%s</%s>", printer, values[i], printer);
  }
  auto is_status_line = [&](std::string_view line) {
    if (line.empty() || line[0] != '<') return false;
    for (int i = 0; i < 3; ++i) {
      if (formatted[i] && line == known[i].data()) return true;
    }
    return false;
  };

  std::optional<AccountDirectory> dir = AccountDirectory::open(error);
  if (!dir) return false;
  ReplacementFile out(*dir, name_in_directory(*next), name_in_directory(*path), error);
  if (!out.create(0644)) return false;

  UniqueFd old;
  OldFile opened = open_old_file(*dir, name_in_directory(*path), FileUse::kPublic, getuid(), &old, error);
  if (opened == OldFile::kRefused) return false;
  bool found = false;
  if (opened == OldFile::kOpened) {
    ReadStatus status = read_account_lines(old.get(), [&](SecretText& line) {
      // Every status line of the printer is replaced, not only the first.
      if (is_status_line(line.view())) {
        found = true;
        return out.write_formatted(new_line);
      }
      line.push_back('\n');
      return out.write(line.c_str(), line.size());
    });
    if (!finish_pass(status, *path, error)) return false;
  }
  if (!found && !out.write_formatted(new_line)) return false;
  return out.commit();
}

}  // namespace

// Deliberate: the values drivers read; any kind but these two is "OFF".
const char* status_value(CredentialKind kind) {
  if (kind == CredentialKind::kJobAccounting) return "ON";
  if (kind == CredentialKind::kUserAuthentication) return "U_ON";
  return "OFF";
}

UpdateOutcome save_account_status(const char* printer, CredentialKind kind, StoreError* error) {
  StoreError local;
  if (error == nullptr) error = &local;
  *error = StoreError{};
  if (!fits_on_one_line(printer)) {
    fail(error, StoreStep::kArguments, "", EINVAL);
    return UpdateOutcome::kRefused;
  }
  try {
    return update_status(printer, kind, error) ? UpdateOutcome::kDone : UpdateOutcome::kRefused;
  } catch (const std::bad_alloc&) {
    fail(error, StoreStep::kMemory, error->path, ENOMEM);
    return UpdateOutcome::kRefused;
  }
}

bool read_status_lines(int fd, const std::string& path, std::vector<PrinterStatus>* printers,
                       StoreError* error) {
  printers->clear();
  std::unordered_set<std::string> seen;
  constexpr CredentialKind kFunctions[] = {CredentialKind::kJobAccounting,
                                           CredentialKind::kUserAuthentication,
                                           CredentialKind::kNone};
  ReadStatus status = read_account_lines(fd, [&](SecretText& line) {
    // "<P>VALUE</P>", exactly, as an update writes it.
    const std::string_view text = line.view();
    const std::size_t end = text.find('>');
    if (!text.starts_with('<') || end == std::string_view::npos || end < 2) return true;
    const std::string_view name = text.substr(1, end - 1);
    const std::string_view rest = text.substr(end + 1);
    for (CredentialKind function : kFunctions) {
      const std::string_view value = status_value(function);
      if (rest.size() != value.size() + name.size() + 3 || !rest.starts_with(value) ||
          rest.substr(value.size()) != "</" + std::string(name) + ">") {
        continue;
      }
      if (seen.emplace(name).second) printers->push_back({std::string(name), function});
      break;
    }
    return true;
  });
  return finish_pass(status, path, error);
}
