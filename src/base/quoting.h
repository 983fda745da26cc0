// SPDX-License-Identifier: Apache-2.0
// How a name or path is shown on a terminal: anyone may create a file name
// holding escape sequences, carriage returns or bytes that are no UTF-8, and
// root must never have such a name act on its terminal. So every name the
// tool prints goes through quote_name(), in the manner of ls
// --quoting-style=shell-escape: as it is when it is plain, in single quotes
// when it holds blanks or characters the shell gives a meaning, and in
// ANSI-C quotes ($'...', with \e, \r, \xHH) when it holds a control
// character or bytes that are no UTF-8. What it prints can be pasted into a
// shell to name the same file.
//
// Results: the text to print.
#ifndef VELMORA_QUOTING_H_
#define VELMORA_QUOTING_H_

#include <string>
#include <string_view>

// blank_free: a blank is escaped too (\x20), for a field of a table that
// tools split at blanks.
std::string quote_name(std::string_view name, bool blank_free = false);

// The same, always in quotes: a value inside a sentence ('alice').
std::string in_quotes(std::string_view value);

#endif  // VELMORA_QUOTING_H_
