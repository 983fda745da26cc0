// SPDX-License-Identifier: Apache-2.0
#include "scheduler.h"

#include <cups/cups.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>

#include "scheduler_conversation.h"
#include "unique_fd.h"

namespace {

using Clock = SchedulerClock;

int milliseconds_until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// ---- The parent's side: the deadline ------------------------------------

std::string server_name() {
  std::string server = cupsServer();
  if (!is_socket(server.c_str())) {
    server += ':';
    server += std::to_string(ippPort());
  }
  return server;
}

// Runs `work` in a child process and gathers its report, ending it at the
// deadline. The fields of a complete report, or nullopt with *lookup saying
// what happened.
std::optional<std::vector<std::string>> converse(
    QueueLookup* lookup, const std::function<void(Report&, Clock::time_point)>& work) {
  const Clock::time_point deadline = Clock::now() + scheduler_deadline();
  lookup->result = QueueCheck::kUnreachable;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    lookup->failure = SchedulerFailure::kCheckFailed;
    lookup->error = errno;
    return std::nullopt;
  }
  UniqueFd from_child(ends[0]);
  UniqueFd to_parent(ends[1]);
  const pid_t child = fork();
  if (child < 0) {
    lookup->failure = SchedulerFailure::kCheckFailed;
    lookup->error = errno;
    return std::nullopt;
  }
  if (child == 0) {
    // Ends with the run, and on its own should the run be stopped meanwhile.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    alarm(static_cast<unsigned>(scheduler_deadline().count()) + 1);
    from_child.reset();
    decline_passwords();
    Report report(to_parent.get());
    work(report, deadline);
    report.add(ReportField::kDone);
    _exit(0);
  }
  to_parent.reset();
  std::string received;
  bool ended = false;
  while (!ended) {
    pollfd wait{from_child.get(), POLLIN, 0};
    const int ready = poll(&wait, 1, milliseconds_until(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[4096];
    const ssize_t n = ::read(from_child.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended = true;
    } else {
      received.append(buffer, static_cast<std::size_t>(n));
    }
  }
  if (!ended) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }

  std::vector<std::string> fields;
  for (std::size_t at = 0, end; (end = received.find('\0', at)) != std::string::npos;
       at = end + 1) {
    fields.emplace_back(received, at, end - at);
  }
  SchedulerFailure failure = SchedulerFailure::kNone;
  bool done = false;
  for (const std::string& field : fields) {
    const std::string value = field.substr(1);
    switch (static_cast<ReportField>(field[0])) {
      case ReportField::kPhase:
        lookup->phase = static_cast<SchedulerPhase>(std::stoi(value));
        break;
      case ReportField::kFailure:
        failure = static_cast<SchedulerFailure>(std::stoi(value));
        break;
      case ReportField::kError:
        lookup->error = std::stoi(value);
        break;
      case ReportField::kDetail:
        lookup->detail = value;
        break;
      case ReportField::kDone:
        done = true;
        break;
      default:
        break;
    }
  }
  if (!done) {
    // Ended without its report: the check itself failed (error 0).
    failure = ended ? SchedulerFailure::kCheckFailed : SchedulerFailure::kTimeout;
  }
  lookup->failure = failure;
  if (failure != SchedulerFailure::kNone) return std::nullopt;
  return fields;
}

}  // namespace

QueueLookup find_queue(const char* queue) {
  QueueLookup lookup;
  lookup.server = server_name();
  // CUPS admits no longer name, and some library versions stall on one.
  if (queue == nullptr || std::strlen(queue) > kMaxQueueName) return lookup;
  std::optional<std::vector<std::string>> fields =
      converse(&lookup, [queue](Report& report, Clock::time_point deadline) {
        check_queue_in_child(queue, report, deadline);
      });
  if (!fields) return lookup;
  lookup.result = QueueCheck::kUnknown;
  for (const std::string& field : *fields) {
    if (static_cast<ReportField>(field[0]) == ReportField::kQueue) {
      lookup.result = QueueCheck::kKnown;
      lookup.queue = field.substr(1);
    }
  }
  return lookup;
}

QueueLookup list_queues(std::vector<std::string>* names) {
  QueueLookup lookup;
  lookup.server = server_name();
  names->clear();
  std::optional<std::vector<std::string>> fields = converse(&lookup, list_queues_in_child);
  if (!fields) return lookup;
  lookup.result = QueueCheck::kKnown;
  for (const std::string& field : *fields) {
    if (static_cast<ReportField>(field[0]) == ReportField::kName) names->push_back(field.substr(1));
  }
  return lookup;
}
