// SPDX-License-Identifier: Apache-2.0
// The grammar of the account files, which drivers read: what each line is,
// and the lines the tool writes. Written here once; nothing else parses or
// formats a line.
//
//   credential file (USER.conf)          status file (status)
//   <office>          opening tag        <office>ON</office>    job accounting
//   id=1234567        key lines          <lab>U_ON</lab>        user authentication
//   password=0042                        <hall>OFF</hall>       neither
//   u_id=YWxpY2U=
//   u_password=c2VjcmV0
//   </office>         closing tag
//
// A tag or status line counts only whole, byte for byte, and only when the
// tool could have written it (kMaxLineText); a key line is one that starts
// with a kind's prefix (none begins another). Every line written ends in one
// LF and holds at most kMaxFormattedLine bytes; a line that would be longer is
// refused, never cut.
//
// Results: classify_line answers for any bytes; the format_ functions return
// false when the line would not fit whole (*line is then unusable).
#ifndef VELMORA_ACCOUNT_FORMAT_H_
#define VELMORA_ACCOUNT_FORMAT_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "credential_kind.h"
#include "secret.h"

// Lines the tool formats itself hold at most this many bytes, line feed
// included; a line read holds a tag or a status line only when its text
// (without the line break) has at most this many.
constexpr std::size_t kMaxFormattedLine = 510;
constexpr std::size_t kMaxLineText = kMaxFormattedLine;

// The largest account file the tool reads: no real one comes near it (a
// credential file holds a few lines per queue; at 8 MiB it would hold some
// 100,000 queues). A larger file is refused before it is read.
constexpr std::size_t kMaxFileBytes = std::size_t{8} << 20;

// Whether c ends a line when the files are read (LF, CR and 0xFF).
constexpr bool is_line_break(unsigned char c) { return c == '\n' || c == '\r' || c == 0xFF; }

// Whether text can stand inside one line: no line break in it.
bool fits_on_one_line(std::string_view text);

// Whether two queue names differ at most in letter case, as CUPS compares
// them (ASCII only).
bool same_but_case(std::string_view a, std::string_view b);

// The name with its letters lowered: a key under which names that are
// the same but for case meet.
std::string lower_case(std::string_view text);

// ---- What a line is ---------------------------------------------------------

// The two files share one line syntax; which kinds a line may have depends
// on the file.
enum class FileKind : std::uint8_t { kCredentials, kStatus };

// What sets one kind of account file apart, decided here once for the
// store, the directory's trust checks and the grammar.
struct FileTraits {
  mode_t mode;           // the mode it is written with
  bool readable_by_all;  // drivers read it as any user: refused when someone may not
  bool status_lines;     // its lines are status lines; else tags and key lines
};
const FileTraits& traits_of(FileKind kind);

enum class LineKind : std::uint8_t {
  kOther,   // anything the tool does not own: carried over as it is
  kTag,     // credential file: "<NAME>" or "</NAME>"
  kKey,     // credential file: a key line of a kind
  kStatus,  // status file: "<Q>VALUE</Q>"
};

enum class KeyPart : std::uint8_t { kId, kPassword };

// Four bytes: a model holds one for every line of a file (a byte each
// keeps an AccountLine at 12 bytes, not 20). The fields after `kind` say
// something only of the line kinds named beside them.
struct LineClass {
  LineKind kind = LineKind::kOther;
  CredentialKind credential = CredentialKind::kJobAccounting;  // kKey: whose
  KeyPart part = KeyPart::kId;                                 // kKey
  StatusFunction function = StatusFunction::kOff;              // kStatus
};
static_assert(sizeof(LineClass) == 4);

LineClass classify_line(std::string_view line, FileKind file);

// ---- Tags -------------------------------------------------------------------

// What stands between "<" and ">" of a tag line: "NAME", or "/NAME" when it
// closes a section. A queue's opening tag is the line whose inner text is the
// queue's name; its closing tag, "/" and the name.
std::string_view tag_inner(std::string_view tag_line);
bool is_opening_tag(std::string_view line, std::string_view queue);
bool is_closing_tag(std::string_view line, std::string_view queue);
// The same, in any letter case (a remove also clears such sections).
bool is_opening_tag_in_any_case(std::string_view line, std::string_view queue);
bool is_closing_tag_in_any_case(std::string_view line, std::string_view queue);

// A tag line's section name and direction, as a driver reads it: nullopt
// for a name with an angle bracket, an empty name, or an opening tag whose
// name starts with "/" (the line is then no tag to a driver).
struct SectionTag {
  std::string_view name;
  bool closing;
};
std::optional<SectionTag> section_tag(std::string_view tag_line);

// ---- Key lines --------------------------------------------------------------

// The two key prefixes of a kind. Deliberate: what drivers read.
struct KindKeys {
  const char* id;        // prefix of the ID or user name line
  const char* password;  // prefix of the PIN or password line
};
const KindKeys& keys_of(CredentialKind kind);

// ---- Status lines -----------------------------------------------------------

// The status value of a function: "ON" (job accounting), "U_ON" (user
// authentication), "OFF".
const char* status_value(StatusFunction function);

// The queue and function a status line names.
struct StatusLine {
  std::string_view queue;
  StatusFunction function;
};
std::optional<StatusLine> parse_status_line(std::string_view line);
bool is_status_line_of(std::string_view line, std::string_view queue);

// ---- Lines the tool writes (the text; its LF is added when written) ---------

bool format_opening_tag(std::string_view queue, SecretText* line);
bool format_closing_tag(std::string_view queue, SecretText* line);
bool format_key_line(CredentialKind kind, KeyPart part, std::string_view value, SecretText* line);
bool format_status_line(std::string_view queue, StatusFunction function, SecretText* line);

#endif  // VELMORA_ACCOUNT_FORMAT_H_
