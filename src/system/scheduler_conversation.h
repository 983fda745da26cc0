// SPDX-License-Identifier: Apache-2.0
// The conversation with the CUPS scheduler, as the child process of the
// queue check holds it (scheduler.h runs it and enforces the deadline): the
// requests, and the report the child writes back to the run, field by field.
//
// Results: the *_in_child functions report everything through Report, the
// last field ReportField::kDone; they never return an error of their own.
#ifndef VELMORA_SCHEDULER_CONVERSATION_H_
#define VELMORA_SCHEDULER_CONVERSATION_H_

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>

#include "queue_lookup.h"

using SchedulerClock = std::chrono::steady_clock;

// What the child tells the parent: NUL-terminated fields, each a tag byte
// and a value; kDone last, so that a report cut short is seen as one.
enum class ReportField : char {
  kPhase = 'p',
  kFailure = 'f',
  kError = 'e',
  kDetail = 'd',
  kQueue = 'q',
  kName = 'n',
  kDone = '.',
};

class Report {
 public:
  explicit Report(int fd) : fd_(fd) {}
  void add(ReportField tag, std::string_view value = {}) {
    std::string field(1, static_cast<char>(tag));
    field.append(value);
    field.push_back('\0');
    for (std::size_t done = 0; done < field.size();) {
      ssize_t n = ::write(fd_, field.data() + done, field.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) _exit(1);  // the parent is gone
      done += static_cast<std::size_t>(n);
    }
  }
  void phase(SchedulerPhase phase) {
    add(ReportField::kPhase, std::to_string(static_cast<int>(phase)));
  }
  void failure(SchedulerFailure failure, int error = 0, std::string_view detail = {}) {
    add(ReportField::kFailure, std::to_string(static_cast<int>(failure)));
    add(ReportField::kError, std::to_string(error));
    add(ReportField::kDetail, detail);
  }

 private:
  int fd_;
};

// Whether the scheduler is named by a local socket's path.
inline bool is_socket(const char* server) { return server[0] == '/'; }

// Makes the library decline whenever the scheduler asks for a password.
void decline_passwords();

// Finds the queue as CUPS spells it (ReportField::kQueue), or reports why not.
void check_queue_in_child(const char* queue, Report& report, SchedulerClock::time_point deadline);
// Reports every queue of the destination list (ReportField::kName each).
void list_queues_in_child(Report& report, SchedulerClock::time_point deadline);

#endif  // VELMORA_SCHEDULER_CONVERSATION_H_
