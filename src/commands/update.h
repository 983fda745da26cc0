// SPDX-License-Identifier: Apache-2.0
// An update option on a queue, end to end: find the queue (an unknown one
// wins over the option), say what would refuse a set before anything is
// typed, ask for the values, store them, report.
//
// Results: the run's exit status: 0 when the change was made or there was
// nothing to remove, 1 when it was not (said why; "No Printer Queue Entry"
// for a queue CUPS does not know), 2 with the usage text, after a line that
// says why, for an option that matches nothing or is root's.
#ifndef VELMORA_UPDATE_H_
#define VELMORA_UPDATE_H_

#include "caller.h"
#include "command_line.h"

int run_update(const CommandLine& line, const Caller& caller);

#endif  // VELMORA_UPDATE_H_
