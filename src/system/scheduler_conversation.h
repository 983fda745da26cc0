// SPDX-License-Identifier: Apache-2.0
// The conversation with the CUPS scheduler, as the queue check's worker
// thread holds it (scheduler.h runs it and enforces the deadline): the
// requests, and the report the worker hands back to the run.
//
// Results: check_queue and list_queues_of report everything through Report
// (the caller then calls finish()); they never return an error of their own.
#ifndef VELMORA_SCHEDULER_CONVERSATION_H_
#define VELMORA_SCHEDULER_CONVERSATION_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "queue_lookup.h"

using SchedulerClock = std::chrono::steady_clock;

// What the conversation tells the run as it goes. The worker thread
// writes it; the run reads it once the worker is done, or at the deadline
// to say how far it got. Shared between the two, and so locked.
class Report {
 public:
  void phase(SchedulerPhase phase);
  void failure(SchedulerFailure failure, int error = 0, std::string_view detail = {});
  // A queue as CUPS spells it.
  void add(std::string_view name);
  // The conversation's last call: it has said all it will.
  void finish();

  // The run's side: waits until finish() or the deadline; whether finished.
  bool wait_until(SchedulerClock::time_point deadline);
  // What was reported so far (names: the queues added).
  void read(QueueLookup* lookup, std::vector<std::string>* names);

 private:
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  SchedulerPhase phase_ = SchedulerPhase::kResolving;
  SchedulerFailure failure_ = SchedulerFailure::kNone;
  int error_ = 0;
  std::string detail_;
  std::vector<std::string> names_;
};

// Whether the scheduler is named by a local socket's path.
inline bool is_socket(const char* server) { return server[0] == '/'; }

// Makes the library decline whenever the scheduler asks for a password.
void decline_passwords();

// Finds the queue as CUPS spells it (one add), or reports why not.
void check_queue(const std::string& queue, Report& report, SchedulerClock::time_point deadline);
// Reports every queue of the destination list (an add each).
void list_queues_of(Report& report, SchedulerClock::time_point deadline);

#endif  // VELMORA_SCHEDULER_CONVERSATION_H_
