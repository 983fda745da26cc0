// SPDX-License-Identifier: Apache-2.0
// The status file: one for the machine, readable by everyone, one line per
// queue saying which authentication function is on for it
// (account_format.h). Drivers read it; its bytes are kept exactly.
//
//   <office>ON</office>       job accounting
//   <lab>U_ON</lab>           user authentication
//   <hall>OFF</hall>          neither
//
// Results: update_status and remove_status return an UpdateOutcome
// (store_error.h);
// read_status_lines returns true, or false with *error filled in.
#ifndef VELMORA_STATUS_FILE_H_
#define VELMORA_STATUS_FILE_H_

#include <string>
#include <vector>

#include "credential_kind.h"
#include "store_error.h"

// Records that `kind` is on for queue (kNone: both off). Every status line
// of the queue (exactly "<Q>ON</Q>", "<Q>U_ON</Q>" or "<Q>OFF</Q>") is
// replaced; without one, a line is appended. Other lines stay as they are.
UpdateOutcome update_status(const char* queue, CredentialKind kind, StoreError* error = nullptr);

// Removes every status line of the queue (a queue CUPS no longer has):
// kNothingToRemove when there is none, or no status file.
UpdateOutcome remove_status(const char* queue, StoreError* error = nullptr);

// What the status file says of one queue: its first status line.
struct QueueStatus {
  std::string queue;
  CredentialKind function;  // job accounting, user authentication, or kNone (OFF)
};

// Reads the status lines of the status file open on fd (read through the
// trust checks), in file order; any other line is passed over.
bool read_status_lines(int fd, const std::string& path, std::vector<QueueStatus>* queues,
                       StoreError* error);

#endif  // VELMORA_STATUS_FILE_H_
