// SPDX-License-Identifier: Apache-2.0
// --check QUEUE --all-users: root's audit of one queue for every user, as
// --check tells one user: whether the driver will find what the function
// switched on needs. One row per user who has a credential file in the
// account directory or a regular local account (UID 1000 to 60000, as
// login.defs sets them by default), never a value:
//
//   USER   OWNER  SWITCHED-ON     JOB-ACCOUNTING  USER-AUTHENTICATION  SECURED-PRINT  READY
//   alice  alice  job-accounting  stored          -                    -              yes
//   bob    bob    job-accounting  -               -                    -              no
//
// A file the trust checks refuse is reported as an update reports it, and
// its row says "?".
//
// Results: the run's exit status: 0 when every user is ready, else 1 (also
// when CUPS does not know the queue, or a file could not be read).
#ifndef VELMORA_QUEUE_AUDIT_H_
#define VELMORA_QUEUE_AUDIT_H_

#include "caller.h"

int check_all_users(const Caller& caller, const char* queue, bool json);

#endif  // VELMORA_QUEUE_AUDIT_H_
