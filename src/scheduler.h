// SPDX-License-Identifier: Apache-2.0
// The queue check: asks the CUPS scheduler whether it knows a printer queue,
// and how it spells the name (CUPS matches queue names in any case; drivers
// look for the name as CUPS spells it).
//
// Result convention: CheckCUPSEntry returns a QueueCheck (the documented 0
// for a known queue and 1 for an unknown one, and a third value for a
// scheduler that could not be asked); *lookup (when given) carries the same
// and the name as CUPS spells it, or the failure. list_queues returns true
// when the scheduler answered, else false with *lookup saying why. Every wait
// is bounded: a scheduler that accepts connections but never answers costs
// at most kQueueCheckBudget, never a hang.
#ifndef VELMORA_SCHEDULER_H_
#define VELMORA_SCHEDULER_H_

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

// The longest queue name CUPS accepts; a longer one is unknown without asking.
constexpr std::size_t kMaxQueueName = 127;

// How long one request may wait for its answer, and the whole check.
constexpr std::chrono::seconds kRequestWait{10};
constexpr std::chrono::seconds kQueueCheckBudget{25};

enum class QueueCheck {
  kKnown = 0,        // CUPS knows the queue
  kUnknown = 1,      // the scheduler answered: no such queue (for this user)
  kUnreachable = 2,  // the scheduler could not be asked (see QueueLookup)
};

enum class SchedulerFailure {
  kNone,
  kConnect,   // no connection (error: errno)
  kTimeout,   // connected, but no answer within kRequestWait
  kNoAnswer,  // the connection broke before an answer (detail: why)
};

struct QueueLookup {
  QueueCheck result = QueueCheck::kUnknown;
  std::string queue;   // kKnown: the name as CUPS spells it
  std::string server;  // the scheduler asked: a socket path, or host:port
  SchedulerFailure failure = SchedulerFailure::kNone;
  int error = 0;       // kConnect: errno
  std::string detail;  // kNoAnswer: the library's account of it
};

QueueCheck CheckCUPSEntry(const char* printer, QueueLookup* lookup = nullptr);

// Every queue the destination list holds for this user, as CUPS spells it,
// from one request.
bool list_queues(std::vector<std::string>* names, QueueLookup* lookup);

#endif  // VELMORA_SCHEDULER_H_
