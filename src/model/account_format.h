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

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
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
// Deliberate: a credential file holds secrets, its owner's only; drivers
// running as any user read the status file. (Inline: every line read asks.)
inline constexpr FileTraits kFileTraits[] = {
    {0600, false, false},  // FileKind::kCredentials
    {0644, true, true},    // FileKind::kStatus
};
constexpr const FileTraits& traits_of(FileKind kind) {
  const auto at = static_cast<std::size_t>(kind);
  return kFileTraits[at < std::size(kFileTraits) ? at : 0];  // no value past the table
}

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

// What line is in a file of the kind (defined below: inline, as every line
// read is classified).
inline LineClass classify_line(std::string_view line, FileKind file);

// ---- Tags -------------------------------------------------------------------

// Whether line has the shape of a tag the tool could have written.
constexpr bool is_tag_shaped(std::string_view line) {
  return line.size() >= 2 && line.size() <= kMaxLineText && line.front() == '<' &&
         line.back() == '>';
}

// What stands between "<" and ">" of a tag line: "NAME", or "/NAME" when it
// closes a section. A queue's opening tag is the line whose inner text is the
// queue's name; its closing tag, "/" and the name.
inline std::string_view tag_inner(std::string_view tag_line) {
  return tag_line.substr(1, tag_line.size() - 2);
}
bool is_opening_tag(std::string_view line, std::string_view queue);
bool is_closing_tag(std::string_view line, std::string_view queue);
// The same, in any letter case (a remove also clears such sections).
bool is_opening_tag_in_any_case(std::string_view line, std::string_view queue);
bool is_closing_tag_in_any_case(std::string_view line, std::string_view queue);

// Whether text holds "<" or ">": eight bytes at a time, as it runs for
// every tag of a file. ("<" and ">" differ only in the bit 2 sets.)
inline bool has_angle_bracket(std::string_view text) {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighs = kOnes * 0x80;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    const std::uint64_t x = (word | kOnes * 2) ^ (kOnes * '>');  // a zero byte where one is
    if (((x - kOnes) & ~x & kHighs) != 0) return true;
  }
  for (; i < text.size(); ++i) {
    if ((text[i] | 2) == '>') return true;
  }
  return false;
}

// A tag line's section name and direction, as a driver reads it: nullopt
// for a name with an angle bracket, an empty name, or an opening tag whose
// name starts with "/" (the line is then no tag to a driver).
struct SectionTag {
  std::string_view name;
  bool closing;
};
// The same of a line known to be shaped like a tag (LineKind::kTag).
// (Inline: it runs for every tag of a file.)
inline std::optional<SectionTag> section_tag_of_tag_line(std::string_view tag_line) {
  std::string_view name = tag_inner(tag_line);
  const bool closing = name.starts_with('/');
  if (closing) name.remove_prefix(1);
  if (name.empty() || has_angle_bracket(name)) return std::nullopt;
  return SectionTag{name, closing};
}
inline std::optional<SectionTag> section_tag(std::string_view tag_line) {
  return is_tag_shaped(tag_line) ? section_tag_of_tag_line(tag_line) : std::nullopt;
}

// ---- Key lines --------------------------------------------------------------

// The two key prefixes of a kind. Deliberate: what drivers read.
struct KindKeys {
  std::string_view id;        // prefix of the ID or user name line
  std::string_view password;  // prefix of the PIN or password line
};
// Deliberate: these prefixes are what drivers read; none begins another.
inline constexpr KindKeys kKindKeys[] = {
    {"id=", "password="},      // job accounting
    {"u_id=", "u_password="},  // user authentication
    {"s_id=", "s_password="},  // secured print
};
static_assert(std::size(kKindKeys) == std::size(kCredentialKinds));
constexpr const KindKeys& keys_of(CredentialKind kind) {
  const std::size_t at = index_of(kind);
  return kKindKeys[at < std::size(kKindKeys) ? at : 0];  // no value past the table
}

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

// ---- Classifying ------------------------------------------------------------

// A status file's line: kStatus or kOther.
LineClass classify_status_line(std::string_view line);

// A line's class as one word (see classify_line).
inline std::uint32_t classify_as_word(std::string_view line, FileKind file) {
  constexpr auto word = [](LineClass what) { return std::bit_cast<std::uint32_t>(what); };
  if (line.empty()) return word({});
  if (traits_of(file).status_lines) {
    return line.front() == '<' ? word(classify_status_line(line)) : word({});
  }
  if (is_tag_shaped(line)) return word({LineKind::kTag});
  // Deliberate: a key line is any line that starts with a kind's prefix.
  // The first byte tells which kind's prefixes it may start with: "i" and
  // "p" those of job accounting, "u" and "s" the others. (Each kind named
  // as a constant, so that its prefixes are compared as constants.)
  const auto starts_with = [&](std::string_view prefix) {
    // Asked only whether equal, with a constant length, memcmp compiles to
    // a word compare or two (string_view's own calls it for an order).
    return line.size() >= prefix.size() &&
           std::memcmp(line.data(), prefix.data(), prefix.size()) == 0;
  };
  const auto key_of = [&](CredentialKind kind) {
    const KindKeys& keys = keys_of(kind);
    if (starts_with(keys.id)) return word({LineKind::kKey, kind, KeyPart::kId});
    if (starts_with(keys.password)) return word({LineKind::kKey, kind, KeyPart::kPassword});
    return word({});
  };
  switch (line.front()) {
    case 'i':
    case 'p':
      return key_of(CredentialKind::kJobAccounting);
    case 'u':
      return key_of(CredentialKind::kUserAuthentication);
    case 's':
      return key_of(CredentialKind::kSecuredPrint);
    default:
      return word({});
  }
}

// Worked out as one word: with each field set on its own, GCC builds the
// answer a byte at a time, which costs more than the rest of the look.
inline LineClass classify_line(std::string_view line, FileKind file) {
  return std::bit_cast<LineClass>(classify_as_word(line, file));
}

// ---- Lines the tool writes (the text; its LF is added when written) ---------

bool format_opening_tag(std::string_view queue, SecretText* line);
bool format_closing_tag(std::string_view queue, SecretText* line);
bool format_key_line(CredentialKind kind, KeyPart part, std::string_view value, SecretText* line);
bool format_status_line(std::string_view queue, StatusFunction function, SecretText* line);

#endif  // VELMORA_ACCOUNT_FORMAT_H_
