// SPDX-License-Identifier: Apache-2.0
// Base64 (RFC 4648, standard alphabet, "=" padding, no line breaks), the form
// in which user names and passwords are stored in credential files.
//
// Results: util_encodeBase64 returns the documented 0, or -1 when an
// argument is missing or memory runs out; z_GetVal returns a group value.
#ifndef VELMORA_BASE64_H_
#define VELMORA_BASE64_H_

#include <cstddef>

#include "secret.h"

// Encodes the bytes of text before its NUL into *result. When length is not
// null it receives the number of characters written. Returns 0, or -1 when
// text or result is null (nothing written) or memory runs out (result empty,
// length 0).
int util_encodeBase64(const char* text, SecretText* result, std::size_t* length = nullptr);

// The 6-bit group number `index` of the first `length` bytes of text, most
// significant bits first, with missing bits behind the last byte taken as 0.
// 0 when text is null.
unsigned z_GetVal(const unsigned char* text, std::size_t length, std::size_t index);

#endif  // VELMORA_BASE64_H_
