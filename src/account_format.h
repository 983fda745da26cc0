// SPDX-License-Identifier: Apache-2.0
// The bytes of the account files, which drivers read: every line the tool
// recognises or writes is parsed and formatted here, and nowhere else.
//
//   credential file (USER.conf)          status file (status)
//   <office>          opening tag        <office>ON</office>    job accounting
//   id=1234567        key lines          <lab>U_ON</lab>        user authentication
//   password=0042                        <hall>OFF</hall>       neither
//   u_id=YWxpY2U=
//   u_password=c2VjcmV0
//   </office>         closing tag
//
// Every line written ends in one LF and holds at most kMaxFormattedLine
// bytes; a line the tool would have to cut is refused instead. A tag or
// status line matches only whole, byte for byte, in the queue's own case.
//
// Results: the is_ and parse_ functions answer; the format_ functions return
// false when the line would not fit whole (nothing usable is left in out).
#ifndef VELMORA_ACCOUNT_FORMAT_H_
#define VELMORA_ACCOUNT_FORMAT_H_

#include <optional>
#include <string>
#include <string_view>

#include "credential_kind.h"
#include "secret.h"

// Lines the tool formats itself (tags, key lines, status lines) hold at most
// this many bytes, line feed included.
constexpr int kMaxFormattedLine = 510;

// A formatted line: the bound, its NUL, and room to spare. Wiped when done.
using LineBuffer = SecretArray<kMaxFormattedLine + 3>;

// Whether c ends a line when the files are read (LF, CR and 0xFF).
constexpr bool is_line_break(unsigned char c) { return c == '\n' || c == '\r' || c == 0xFF; }

// Whether text can stand inside one line: no line break in it that the next
// read would split the line at.
bool fits_on_one_line(std::string_view text);

// Whether two queue names differ at most in letter case, as CUPS compares
// them (ASCII only).
bool same_but_case(std::string_view a, std::string_view b);

// ---- Tag lines --------------------------------------------------------------

// Whether line is exactly "<QUEUE>" (opening) or "</QUEUE>" (closing) for
// this queue, a tag that fits the line bound.
bool is_opening_tag(std::string_view line, std::string_view queue);
bool is_closing_tag(std::string_view line, std::string_view queue);

// The name a tag line carries, in whatever case: "<NAME>", or "</NAME>" when
// closing; nullopt for any other line.
struct Tag {
  std::string_view name;
  bool closing;
  // Whether a driver takes it for a section's tag: no angle bracket in the
  // name, and an opening tag's name not starting with "/".
  bool driver_reads() const {
    return name.find_first_of("<>") == std::string_view::npos &&
           (closing || !name.starts_with('/'));
  }
};
std::optional<Tag> parse_tag(std::string_view line);

// "<QUEUE>\n" or "</QUEUE>\n".
bool format_opening_tag(LineBuffer& out, std::string_view queue);
bool format_closing_tag(LineBuffer& out, std::string_view queue);

// ---- Key lines --------------------------------------------------------------

// The two key prefixes of a kind. Deliberate: what drivers read; none begins
// another.
struct KindKeys {
  const char* id;        // prefix of the ID or user name line
  const char* password;  // prefix of the PIN or password line
};
const KindKeys& keys_of(CredentialKind kind);  // kNone: job accounting's

// Whether line is a key line of that kind (and which).
bool is_key_of(std::string_view line, const KindKeys& keys);
bool is_id_key(std::string_view line, const KindKeys& keys);

// "PREFIX" value "\n".
bool format_key_line(LineBuffer& out, const char* prefix, std::string_view value);

// ---- Status lines -----------------------------------------------------------

// The status value of a kind: "ON" (job accounting), "U_ON" (user
// authentication), "OFF" (kNone, and secured print, which is never switched).
const char* status_value(CredentialKind kind);

// Whether line is one of the three status lines of this queue (exactly
// "<Q>ON</Q>", "<Q>U_ON</Q>" or "<Q>OFF</Q>", as the update writes them).
bool is_status_line_of(std::string_view line, std::string_view queue);

// The queue and the function a status line names (kNone for OFF), or
// nullopt for any other line.
struct StatusLine {
  std::string_view queue;
  CredentialKind function;
};
std::optional<StatusLine> parse_status_line(std::string_view line);

// "<QUEUE>VALUE</QUEUE>\n".
bool format_status_line(LineBuffer& out, std::string_view queue, CredentialKind kind);

#endif  // VELMORA_ACCOUNT_FORMAT_H_
