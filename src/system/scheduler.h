// SPDX-License-Identifier: Apache-2.0
// The queue check: asks the CUPS scheduler whether it knows a printer queue,
// and how it spells the name (CUPS matches queue names in any case; drivers
// look for the name as CUPS spells it).
//
// The whole conversation (resolving the server's name, connecting, TLS, the
// request and its answer) runs on a worker thread that the run stops
// waiting for at scheduler_deadline(), whatever the server or the name
// server does; the worker, which blocks every signal but a fault's, is then
// left to the end of the run. The library never prompts for a password: a scheduler
// that asks for one is a failure of its own.
//
// Result convention: both return a QueueLookup, once: what the scheduler
// answered (for find_queue the name as CUPS spells it), or why it could not
// be asked.
#ifndef VELMORA_SCHEDULER_H_
#define VELMORA_SCHEDULER_H_

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "queue_lookup.h"

// The longest queue name CUPS accepts; a longer one is unknown without asking.
constexpr std::size_t kMaxQueueName = 127;

// How long a run waits for the scheduler, from the first name lookup to the
// last byte of the answer: 25 s, compiled in (a few seconds in the tests'
// copy, so that no test waits long for a silent scheduler).
std::chrono::seconds scheduler_deadline();

QueueLookup find_queue(const char* queue);

// Whether a conversation was left at its deadline. Its worker may still be
// inside libraries whose destructors exit() would run under it, so the run
// then ends with _exit() once its output is flushed.
bool scheduler_conversation_left();

// Every queue the destination list holds for this user, as CUPS spells it,
// from one request, into *names.
QueueLookup list_queues(std::vector<std::string>* names);

#endif  // VELMORA_SCHEDULER_H_
