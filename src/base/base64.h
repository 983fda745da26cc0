// SPDX-License-Identifier: Apache-2.0
// Base64 (RFC 4648, standard alphabet, "=" padding, no line breaks), the form
// in which user names and passwords are stored in credential files.
//
// Results: encode_base64 returns true, or false when memory runs out (the
// result then empty).
#ifndef VELMORA_BASE64_H_
#define VELMORA_BASE64_H_

#include <string_view>

#include "secret.h"

// Encodes the bytes of text into *result.
bool encode_base64(std::string_view text, SecretText* result);

#endif  // VELMORA_BASE64_H_
