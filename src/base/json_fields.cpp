// SPDX-License-Identifier: Apache-2.0
#include "json_fields.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <string>
#include <system_error>

namespace {

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_digit(int c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The length of the well-formed UTF-8 sequence text starts with (RFC 3629:
// no overlong form, no surrogate, nothing past U+10FFFF), or 0.
std::size_t utf8_length(std::string_view text) {
  struct Lead {
    unsigned char first, last;           // the lead bytes
    unsigned char second_lo, second_hi;  // what the byte after them may be
    std::size_t length;
  };
  static constexpr Lead kLeads[] = {
      {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3}, {0xE1, 0xEC, 0x80, 0xBF, 3},
      {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3}, {0xF0, 0xF0, 0x90, 0xBF, 4},
      {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
  };
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  for (const Lead& lead : kLeads) {
    if (byte(0) < lead.first || byte(0) > lead.last) continue;
    if (text.size() < lead.length || byte(1) < lead.second_lo || byte(1) > lead.second_hi) return 0;
    for (std::size_t k = 2; k < lead.length; ++k) {
      if (byte(k) < 0x80 || byte(k) > 0xBF) return 0;
    }
    return lead.length;
  }
  return 0;
}

void append_utf8(unsigned long code, SecretText* out) {
  char bytes[4];
  std::size_t n = 0;
  if (code < 0x80) {
    bytes[n++] = static_cast<char>(code);
  } else if (code < 0x800) {
    bytes[n++] = static_cast<char>(0xC0 | (code >> 6));
  } else if (code < 0x10000) {
    bytes[n++] = static_cast<char>(0xE0 | (code >> 12));
    bytes[n++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
  } else {
    bytes[n++] = static_cast<char>(0xF0 | (code >> 18));
    bytes[n++] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    bytes[n++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
  }
  if (code >= 0x80) bytes[n++] = static_cast<char>(0x80 | (code & 0x3F));
  out->append(bytes, n);
  wipe_bytes(bytes, sizeof bytes);
}

// Whether a number a double cannot hold is too large for it rather than too
// small: the JSON library refuses an overflow but takes what underflows to 0.
// Either is past 1e300 or below 1e-300, so its first significant digit tells.
bool too_large(std::string_view number) {
  long long lead = 0;  // the power of ten of the first significant digit
  bool found = false;
  std::size_t at = number.starts_with('-') ? 1 : 0;
  const std::size_t point = number.find_first_not_of("0123456789", at);
  const std::size_t whole = (point == std::string_view::npos ? number.size() : point) - at;
  for (std::size_t k = 0; k < whole && !found; ++k) {
    found = number[at + k] != '0';
    lead = static_cast<long long>(whole - k) - 1;
  }
  at += whole;
  if (at < number.size() && number[at] == '.') {
    const std::size_t fraction = ++at;
    for (; at < number.size() && is_digit(number[at]); ++at) {
      if (!found && number[at] != '0')
        found = true, lead = -static_cast<long long>(at - fraction) - 1;
    }
  }
  if (!found) return false;
  long long exponent = 0;
  if (at < number.size()) {  // e or E
    const bool negative = number[++at] == '-';
    if (!is_digit(number[at])) ++at;
    // Held at a bound far past any power the digits before it can reach
    // (a record is bytes, not 10^12 of them), so the sum below still tells.
    for (; at < number.size(); ++at)
      exponent = std::min(exponent * 10 + number[at] - '0', 1'000'000'000'000LL);
    if (negative) exponent = -exponent;
  }
  return lead + exponent >= 0;
}

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  JsonText read(std::vector<JsonField>* fields) {
    // A byte order mark, whole, or no such byte.
    if (peek() == 0xEF && !text_.starts_with("\xEF\xBB\xBF")) return JsonText::kInvalid;
    if (peek() == 0xEF) at_ = 3;
    skip_space();
    if (peek() != '{') {
      return value() && ended() ? JsonText::kNotObject : JsonText::kInvalid;
    }
    ++at_;
    skip_space();
    for (bool more = peek() != '}'; more;) {
      JsonField& field = fields->emplace_back();
      if (peek() != '"' || !string(&field.name) || !colon()) return JsonText::kInvalid;
      field.string = peek() == '"';
      if (!(field.string ? string(&field.text) : value())) return JsonText::kInvalid;
      skip_space();
      more = peek() == ',';
      if (more) ++at_, skip_space();
    }
    if (peek() != '}') return JsonText::kInvalid;
    ++at_;
    return ended() ? JsonText::kObject : JsonText::kInvalid;
  }

 private:
  // The next byte, or -1 at the end.
  int peek() const { return at_ < text_.size() ? static_cast<unsigned char>(text_[at_]) : -1; }
  int next() { return at_ < text_.size() ? static_cast<unsigned char>(text_[at_++]) : -1; }
  void skip_space() {
    while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r') ++at_;
  }
  bool ended() {
    skip_space();
    return at_ == text_.size();
  }
  // Space, a colon and space, after a member's name.
  bool colon() {
    skip_space();
    if (next() != ':') return false;
    skip_space();
    return true;
  }

  // Any value, containers checked to their end with a stack of the open ones.
  bool value() {
    std::string open;
    for (;;) {
      skip_space();
      const int c = peek();
      if (c == '{' || c == '[') {
        ++at_;
        skip_space();
        if (peek() == (c == '{' ? '}' : ']')) {
          ++at_;
        } else {
          open.push_back(static_cast<char>(c));
          if (c == '{' && !member_name()) return false;
          continue;
        }
      } else if (c == '"') {
        if (!string(&scratch_)) return false;
      } else if (c == '-' || is_digit(c)) {
        if (!number()) return false;
      } else if (!word("true") && !word("false") && !word("null")) {
        return false;
      }
      // A value is done: close what it ends, or go on to the next one.
      for (;;) {
        if (open.empty()) return true;
        skip_space();
        const int after = next();
        if (after == ',') {
          if (open.back() == '{' && !member_name()) return false;
          break;
        }
        if (after != (open.back() == '{' ? '}' : ']')) return false;
        open.pop_back();
      }
    }
  }
  bool member_name() {
    skip_space();
    return peek() == '"' && string(&scratch_) && colon();
  }
  bool word(std::string_view literal) {
    if (!text_.substr(at_).starts_with(literal)) return false;
    at_ += literal.size();
    return true;
  }
  bool number() {
    const std::size_t start = at_;
    if (peek() == '-') ++at_;
    if (peek() == '0') {
      ++at_;
    } else if (!digits()) {
      return false;
    }
    if (peek() == '.' && (++at_, !digits())) return false;
    if (peek() == 'e' || peek() == 'E') {
      ++at_;
      if (peek() == '+' || peek() == '-') ++at_;
      if (!digits()) return false;
    }
    const std::string_view number = text_.substr(start, at_ - start);
    double parsed = 0;
    const std::from_chars_result read =
        std::from_chars(number.data(), number.data() + number.size(), parsed);
    return read.ec != std::errc::result_out_of_range || !too_large(number);
  }
  bool digits() {
    const std::size_t start = at_;
    while (is_digit(peek())) ++at_;
    return at_ != start;
  }

  // A string, at its opening quote, decoded into *out.
  bool string(SecretText* out) {
    out->clear();
    ++at_;
    for (;;) {
      const int c = next();
      if (c == '"') return true;
      if (c < 0x20) return false;  // a control character, or the end
      if (c == '\\') {
        if (!escape(out)) return false;
      } else if (c < 0x80) {
        out->push_back(static_cast<char>(c));
      } else {
        const std::size_t length = utf8_length(text_.substr(at_ - 1));
        if (length == 0) return false;
        out->append(text_.data() + at_ - 1, length);
        at_ += length - 1;
      }
    }
  }
  bool escape(SecretText* out) {
    static constexpr std::string_view kFrom = "\"\\/bfnrt", kTo = "\"\\/\b\f\n\r\t";
    const int c = next();
    if (c < 0) return false;
    if (const std::size_t which = kFrom.find(static_cast<char>(c)); which != kFrom.npos) {
      out->push_back(kTo[which]);
      return true;
    }
    if (c != 'u') return false;
    long code = code_unit();
    if (code >= 0xDC00 && code <= 0xDFFF) return false;  // a low surrogate first
    if (code >= 0xD800 && code <= 0xDBFF) {
      const long low = next() == '\\' && next() == 'u' ? code_unit() : -1;
      if (low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    if (code < 0) return false;
    append_utf8(static_cast<unsigned long>(code), out);
    return true;
  }
  // Four hex digits after \u, or -1.
  long code_unit() {
    long code = 0;
    for (int k = 0; k < 4; ++k) {
      const int digit = hex_digit(next());
      if (digit < 0) return -1;
      code = code * 16 + digit;
    }
    return code;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  SecretText scratch_;  // strings below the top level, checked and dropped
};

}  // namespace

JsonText read_json_object(std::string_view text, std::vector<JsonField>* fields) {
  fields->clear();
  const JsonText read = Reader(text).read(fields);
  if (read != JsonText::kObject) fields->clear();
  return read;
}
