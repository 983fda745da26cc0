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
#include "account_file.h"
#include "account_format.h"
#include "line_reader.h"

namespace {

// Rewrites the status file: every status line of the queue becomes
// new_line, or goes (null); without one, new_line is appended.
UpdateOutcome rewrite_status(const char* queue, const LineBuffer* new_line, StoreError* error) {
  return rewrite_account_file(
      {kStatusName, FileUse::kPublic, getuid()},
      [&](ReplacementFile& out, const OldContent& old) {
        bool found = false;
        if (old.fd >= 0) {
          const bool read = read_lines(
              old.fd, old.path,
              [&](SecretText& line) {
                // Every status line of the queue is replaced, not only the first.
                if (is_status_line_of(line.view(), queue)) {
                  found = true;
                  return new_line == nullptr || out.write(new_line->data());
                }
                line.push_back('\n');
                return out.write(line.view());
              },
              error);
          if (!read) return Rewrite::kFailed;
        }
        if (new_line == nullptr) return found ? Rewrite::kWritten : Rewrite::kUnchanged;
        if (!found && !out.write(new_line->data())) return Rewrite::kFailed;
        return Rewrite::kWritten;
      },
      error);
}

bool valid_queue(const char* queue, StoreError* error) {
  *error = StoreError{};
  if (queue != nullptr && fits_on_one_line(queue)) return true;
  return fail(error, StoreStep::kArguments, "", EINVAL);
}

}  // namespace

UpdateOutcome update_status(const char* queue, CredentialKind kind, StoreError* error) {
  StoreError local;
  if (error == nullptr) error = &local;
  if (!valid_queue(queue, error)) return UpdateOutcome::kRefused;
  try {
    LineBuffer new_line;
    if (!format_status_line(new_line, queue, kind)) {
      fail(error, StoreStep::kLineTooLong,
           std::string(account_directory()) + "/" + replacement_name(kStatusName), EOVERFLOW);
      return UpdateOutcome::kRefused;
    }
    return rewrite_status(queue, &new_line, error);
  } catch (const std::bad_alloc&) {
    fail(error, StoreStep::kMemory, error->path, ENOMEM);
    return UpdateOutcome::kRefused;
  }
}

UpdateOutcome remove_status(const char* queue, StoreError* error) {
  StoreError local;
  if (error == nullptr) error = &local;
  if (!valid_queue(queue, error)) return UpdateOutcome::kRefused;
  try {
    return rewrite_status(queue, nullptr, error);
  } catch (const std::bad_alloc&) {
    fail(error, StoreStep::kMemory, error->path, ENOMEM);
    return UpdateOutcome::kRefused;
  }
}

bool read_status_lines(int fd, const std::string& path, std::vector<QueueStatus>* queues,
                       StoreError* error) {
  queues->clear();
  std::unordered_set<std::string> seen;
  return read_lines(
      fd, path,
      [&](SecretText& line) {
        std::optional<StatusLine> status = parse_status_line(line.view());
        if (status && seen.emplace(status->queue).second) {
          queues->push_back({std::string(status->queue), status->function});
        }
        return true;
      },
      error);
}
