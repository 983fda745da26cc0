// SPDX-License-Identifier: Apache-2.0
#include "scheduler.h"

#include <cups/cups.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "scheduler_conversation.h"

namespace {

using Clock = SchedulerClock;

std::string server_name() {
  std::string server = cupsServer();
  if (!is_socket(server.c_str())) {
    server += ':';
    server += std::to_string(ippPort());
  }
  return server;
}

// Whether a conversation was ever left at its deadline (see scheduler.h):
// once set, never cleared, since the worker's thread may still be ending
// (its own destructors, the libraries' per-thread state) after its work.
std::atomic<bool>& conversation_left() {
  static std::atomic<bool> left{false};
  return left;
}

// Blocks every signal but a fault's in this thread for its lifetime: a
// thread started meanwhile keeps that mask, so signals meant for the run
// reach the run, and a broken connection's SIGPIPE stays with the worker
// (its write just fails). A fault in the worker still reaches the run's
// handlers, which clean up before the run dies of it.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS}) {
      sigdelset(&all, fault);
    }
    pthread_sigmask(SIG_SETMASK, &all, &previous_);
  }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;
  ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

using Conversation = void (*)(const std::string&, Report&, Clock::time_point);

// Holds one conversation on a worker thread and waits for it until the
// deadline. A thread, not a child process: a fork copies and then faults
// in the whole address space, which costs more than the rest of a short
// run. The queues it reported, or nullopt with *lookup saying what
// happened. A worker still running at the deadline is left to the end of
// the run: it owns everything it touches.
std::optional<std::vector<std::string>> converse(QueueLookup* lookup, Conversation work,
                                                 std::string queue) {
  const Clock::time_point deadline = Clock::now() + scheduler_deadline();
  lookup->result = QueueCheck::kUnreachable;
  auto report = std::make_shared<Report>();
  std::thread worker;
  try {
    AllSignalsBlocked blocked;
    worker = std::thread([report, work, queue = std::move(queue), deadline] {
      try {
        decline_passwords();
        work(queue, *report, deadline);
      } catch (const std::exception&) {
        report->failure(SchedulerFailure::kCheckFailed);
      }
      report->finish();
    });
  } catch (const std::system_error& error) {
    lookup->failure = SchedulerFailure::kCheckFailed;
    lookup->error = error.code().value();
    return std::nullopt;
  }
  const bool finished = report->wait_until(deadline);
  if (finished) {
    worker.join();
  } else {
    conversation_left() = true;
    worker.detach();
  }
  std::vector<std::string> names;
  report->read(lookup, &names);
  if (!finished) lookup->failure = SchedulerFailure::kTimeout;
  if (lookup->failure != SchedulerFailure::kNone) return std::nullopt;
  return names;
}

}  // namespace

bool scheduler_conversation_left() { return conversation_left(); }

QueueLookup find_queue(const char* queue) {
  QueueLookup lookup;
  lookup.server = server_name();
  // CUPS admits no longer name, and some library versions stall on one.
  if (queue == nullptr || std::strlen(queue) > kMaxQueueName) return lookup;
  std::optional<std::vector<std::string>> names = converse(&lookup, check_queue, queue);
  if (!names) return lookup;
  lookup.result = names->empty() ? QueueCheck::kUnknown : QueueCheck::kKnown;
  if (!names->empty()) lookup.queue = names->front();
  return lookup;
}

QueueLookup list_queues(std::vector<std::string>* names) {
  QueueLookup lookup;
  lookup.server = server_name();
  names->clear();
  std::optional<std::vector<std::string>> listed = converse(
      &lookup,
      [](const std::string&, Report& report, Clock::time_point deadline) {
        list_queues_of(report, deadline);
      },
      std::string());
  if (!listed) return lookup;
  lookup.result = QueueCheck::kKnown;
  *names = std::move(*listed);
  return lookup;
}
