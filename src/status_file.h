// SPDX-License-Identifier: Apache-2.0
// The status file: one for the machine, readable by everyone, one line per
// printer saying which authentication function is on for it. Drivers read
// it; its bytes are kept exactly:
//
//   <office>ON</office>       job accounting
//   <lab>U_ON</lab>           user authentication
//   <hall>OFF</hall>          neither
//
// Results: save_account_status returns an UpdateOutcome (store_error.h);
// read_status_lines returns true, or false with *error filled in.
#ifndef VELMORA_STATUS_FILE_H_
#define VELMORA_STATUS_FILE_H_

#include <string>
#include <vector>

#include "credential_kind.h"
#include "store_error.h"

// The status value of a kind: "ON" (job accounting), "U_ON" (user
// authentication), "OFF" (kNone, and secured print, which is never switched).
const char* status_value(CredentialKind kind);

// Records that `kind` is on for printer (kNone: both off). Every status line
// of the printer (exactly "<P>ON</P>", "<P>U_ON</P>" or "<P>OFF</P>") is
// replaced; without one, a line is appended. Other lines stay as they are.
UpdateOutcome save_account_status(const char* printer, CredentialKind kind,
                                  StoreError* error = nullptr);

// What the status file says of one printer: its first status line.
struct PrinterStatus {
  std::string printer;
  CredentialKind function;  // job accounting, user authentication, or kNone (OFF)
};

// Reads the status lines of the status file open on fd (read through the
// trust checks), in file order; any other line is passed over.
bool read_status_lines(int fd, const std::string& path, std::vector<PrinterStatus>* printers,
                       StoreError* error);

#endif  // VELMORA_STATUS_FILE_H_
