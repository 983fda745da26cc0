// SPDX-License-Identifier: Apache-2.0
// One JSON text, read strictly and straight into storage that wipes itself:
// a --batch record's values are secrets, so no string of it passes through
// a container of a library, which would keep copies of what it read (its
// token buffers, the text of a parse error) and free them unwiped. The text
// is taken as the JSON library takes it (RFC 8259: no comments, strings of
// well-formed UTF-8 whose \u escapes pair their surrogates, a number that
// overflows a double refused, a UTF-8 byte order mark allowed at the start),
// but stricter in one thing: a NUL byte is no end of the text, so anything
// after the value, NUL included, makes it invalid (the library stopped
// reading at a NUL, taking "{}" and a NUL and more as "{}"). Any nesting is
// checked without recursion. Only the top level is kept:
// each member of an object, with the text of a string value.
//
//   std::vector<JsonField> fields;
//   if (read_json_object(line, &fields) == JsonText::kObject) ...
//
// Results: kInvalid when the text is not JSON (fields empty), kNotObject when
// it is JSON but not an object (fields empty), kObject with every member in
// the order given (a name given twice is there twice). std::bad_alloc when
// memory runs out.
#ifndef VELMORA_JSON_FIELDS_H_
#define VELMORA_JSON_FIELDS_H_

#include <string_view>
#include <vector>

#include "secret.h"

struct JsonField {
  SecretText name;      // as decoded (UTF-8, escapes resolved)
  bool string = false;  // whether the value is a string, whose text is in text
  SecretText text;
};

enum class JsonText { kInvalid, kNotObject, kObject };

JsonText read_json_object(std::string_view text, std::vector<JsonField>* fields);

#endif  // VELMORA_JSON_FIELDS_H_
