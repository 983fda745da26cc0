// SPDX-License-Identifier: Apache-2.0
// The status file: one for the machine, readable by everyone, one line per
// queue saying which authentication function is on for it
// (account_format.h). Drivers read it; its bytes are kept exactly.
//
//   <office>ON</office>       job accounting
//   <lab>U_ON</lab>           user authentication
//   <hall>OFF</hall>          neither
//
// The changes are edits of the file's model (account_text.h), in memory.
//
// Results: switch_queue returns true, or false with error filled in
// (kArguments, kLineTooLong; the path is the caller's to fill in);
// clear_queue and statuses_of answer.
#ifndef VELMORA_STATUS_FILE_H_
#define VELMORA_STATUS_FILE_H_

#include <string>
#include <string_view>
#include <vector>

#include "account_text.h"
#include "credential_kind.h"
#include "store_error.h"

// Records that `function` is on for queue (kOff: neither). Every status
// line of the queue (exactly "<Q>ON</Q>", "<Q>U_ON</Q>" or "<Q>OFF</Q>") is
// replaced; without one, a line is appended. Other lines stay as they are.
bool switch_queue(AccountText& text, std::string_view queue, StatusFunction function,
                  StoreError& error);

// Removes every status line of the queue (a queue CUPS no longer has), in
// its own spelling, or (any_case) in any letter case as --forget does;
// text.changes() tells whether there was one.
void clear_queue(AccountText& text, std::string_view queue, bool any_case = false);

// What the status file says of one queue: its first status line.
struct QueueStatus {
  std::string queue;
  StatusFunction function;
};

// The status lines, in file order; any other line is passed over.
std::vector<QueueStatus> statuses_of(const AccountText& text);

#endif  // VELMORA_STATUS_FILE_H_
