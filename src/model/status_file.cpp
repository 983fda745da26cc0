// SPDX-License-Identifier: Apache-2.0
#include "status_file.h"

#include <cerrno>
#include <optional>
#include <unordered_set>
#include <utility>

#include "account_format.h"

namespace {

bool is_status_of(const AccountText& text, const AccountLine& line, std::string_view queue) {
  return line.what.kind == LineKind::kStatus && is_status_line_of(text.text(line), queue);
}

}  // namespace

bool switch_queue(AccountText& text, std::string_view queue, StatusFunction function,
                  StoreError& error) {
  if (!fits_on_one_line(queue)) return fail(error, StoreStep::kArguments, "", EINVAL);
  SecretText formatted;
  if (!format_status_line(queue, function, &formatted)) {
    return fail(error, StoreStep::kLineTooLong, "", EOVERFLOW);
  }
  const AccountLine fresh = text.add(formatted.view());
  std::vector<AccountLine> lines;
  lines.reserve(text.lines().size() + 1);
  bool found = false;
  bool changed = false;
  for (const AccountLine& line : text.lines()) {
    // Every status line of the queue is replaced, not only the first.
    if (is_status_of(text, line, queue)) {
      found = true;
      changed = changed || text.text(line) != text.text(fresh);
      lines.push_back(fresh);
    } else {
      lines.push_back(line);
    }
  }
  if (!found) lines.push_back(fresh);
  text.replace(0, text.lines().size(), lines, changed || !found);
  return true;
}

void clear_queue(AccountText& text, std::string_view queue, bool any_case) {
  std::vector<AccountLine> lines;
  lines.reserve(text.lines().size());
  for (const AccountLine& line : text.lines()) {
    const std::optional<StatusLine> status =
        line.what.kind == LineKind::kStatus ? parse_status_line(text.text(line)) : std::nullopt;
    const bool of_queue =
        status && (any_case ? same_but_case(status->queue, queue) : status->queue == queue);
    if (!of_queue) lines.push_back(line);
  }
  const bool dropped = lines.size() != text.lines().size();
  text.replace(0, text.lines().size(), lines, dropped);
}

std::vector<QueueStatus> statuses_of(const AccountText& text) {
  std::vector<QueueStatus> queues;
  std::unordered_set<std::string_view> seen;
  for (const AccountLine& line : text.lines()) {
    if (line.what.kind != LineKind::kStatus) continue;
    const std::optional<StatusLine> status = parse_status_line(text.text(line));
    if (status && seen.insert(status->queue).second) {
      queues.push_back({std::string(status->queue), status->function});
    }
  }
  return queues;
}
