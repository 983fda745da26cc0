// SPDX-License-Identifier: Apache-2.0
// What a queue check found out (scheduler.h runs it): the scheduler's
// answer, or why it could not be asked and how far the conversation got.
// Shared by the run and the worker thread that talks to the scheduler.
//
// Results: none; these are the result's types.
#ifndef VELMORA_QUEUE_LOOKUP_H_
#define VELMORA_QUEUE_LOOKUP_H_

#include <string>

enum class QueueCheck {
  kKnown,        // CUPS knows the queue (list_queues: the list came)
  kUnknown,      // the scheduler answered: no such queue (for this user)
  kUnreachable,  // the scheduler could not be asked (see QueueLookup)
};

enum class SchedulerFailure {
  kNone,
  kResolve,      // the server's name could not be resolved (detail: the resolver's reason)
  kConnect,      // no connection (error: errno)
  kTimeout,      // the deadline passed (phase: while doing what)
  kPassword,     // the scheduler asked for a password
  kClosed,       // the connection ended before an answer (error: errno, or 0)
  kNoAnswer,     // something else came back (detail: what)
  kCheckFailed,  // the check could not start (error: errno), or died (error 0)
};

// How far the conversation got.
enum class SchedulerPhase { kResolving, kConnecting, kAsking };

struct QueueLookup {
  QueueCheck result = QueueCheck::kUnknown;
  std::string queue;   // kKnown: the name as CUPS spells it
  std::string server;  // the scheduler asked: a socket path, or host:port
  SchedulerFailure failure = SchedulerFailure::kNone;
  SchedulerPhase phase = SchedulerPhase::kResolving;
  int error = 0;       // kConnect, kClosed, kCheckFailed: errno
  std::string detail;  // kResolve, kNoAnswer: what went wrong
};

#endif  // VELMORA_QUEUE_LOOKUP_H_
