// SPDX-License-Identifier: Apache-2.0
// One account file as lines: read once, with a bound on its size, cut into
// lines that know their kind (account_format.h), edited in memory by the
// credential and status operations, and written back in one piece.
//
// Line rules (what drivers and older files rely on): LF, CR and 0xFF end a
// line; CR LF, LF CR, LF LF and CR CR end one line, so a blank line directly
// after a line break vanishes; 0xFF always takes the byte after it. The file
// is cut as if read in 512-byte chunks: two line breaks that a chunk
// boundary separates are not joined, and 0xFF as a chunk's last byte takes
// nothing of the next. A line's text ends at its first zero byte (within
// each chunk it spans); a last line without a line break is still a line.
// Written back, every line ends in one LF.
//
//   AccountText text;
//   if (!AccountText::read(fd, path, FileKind::kCredentials, &text, error)) ...
//   for (const AccountLine& line : text.lines()) ... text.text(line) ...
//   SecretText bytes = text.bytes();   // or text.pieces(limit, &pieces)
//
// Parsing is linear in the file's size whatever it holds; the model takes at
// most about six times kMaxFileBytes of memory. Everything it holds is wiped
// when released: credential files hold passwords.
//
// Results: read returns true, or false with error filled in (kTooLarge before
// anything is read, kRead, kMemory); parse cannot fail.
#ifndef VELMORA_ACCOUNT_TEXT_H_
#define VELMORA_ACCOUNT_TEXT_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "account_format.h"
#include "secret.h"
#include "store_error.h"

// The chunks whose boundaries the line rules respect.
constexpr std::size_t kChunkLength = 512;

struct AccountLine {
  std::uint32_t start = 0;  // of its text, in the model's bytes
  std::uint32_t size = 0;
  LineClass what;
};

class AccountText {
 public:
  AccountText() = default;
  AccountText(AccountText&&) noexcept = default;
  AccountText& operator=(AccountText&&) noexcept = default;

  // The model of the bytes of a whole file.
  static AccountText parse(std::string_view bytes, FileKind file);
  // Reads the file open on fd (path: for messages) from its start to its end;
  // opened: its status, when the caller has just taken it (else fstat).
  static bool read(int fd, const std::string& path, FileKind file, AccountText* text,
                   StoreError& error, const struct stat* opened = nullptr);

  FileKind file() const { return file_; }
  const std::vector<AccountLine>& lines() const { return lines_; }
  std::string_view text(const AccountLine& line) const {
    return {bytes_.c_str() + line.start, line.size};
  }

  // ---- Editing ----
  // A new line of the model's own (the text of a line the tool formatted).
  AccountLine add(std::string_view line_text);
  // Puts lines (the model's, from add or lines()) in place of the old ones
  // from first up to end (end == first: before first); changed: whether
  // that gives other bytes than before. Only the lines after the range move,
  // within the room the model has (std::bad_alloc, nothing changed, when it
  // must grow and cannot).
  void replace(std::size_t first, std::size_t end, const std::vector<AccountLine>& lines,
               bool changed);
  // How many replacements changed something, from the start.
  int changes() const { return changes_; }

  // Whether the bytes written back would be the bytes read.
  bool same_as_read() const { return changes_ == 0 && canonical_; }
  // The file's new content: every line, each ended by one LF.
  SecretText bytes() const;
  // How many bytes that is.
  std::size_t content_size() const { return content_size_; }
  // The same as pieces of the model's own bytes, in order, to be written
  // one after another; false (*pieces empty) when it takes more than limit.
  bool pieces(std::size_t limit, std::vector<std::string_view>* pieces) const;
  std::size_t size_read() const { return size_read_; }

 private:
  void cut_lines(std::size_t size);
  std::string_view piece(std::size_t* next, bool* add_lf) const;

  FileKind file_ = FileKind::kCredentials;
  // The file as read, then the texts of lines holding a zero byte, then
  // those of lines added, each followed by a LF.
  SecretText bytes_;
  std::vector<AccountLine> lines_;
  std::size_t size_read_ = 0;
  std::size_t content_size_ = 0;  // kept up with every replace
  bool canonical_ = true;         // the file was its lines, each ended by one LF
  int changes_ = 0;
};

#endif  // VELMORA_ACCOUNT_TEXT_H_
