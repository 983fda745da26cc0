// SPDX-License-Identifier: Apache-2.0
// Text conversion: typed user names and passwords carry no declared encoding,
// so they are converted to UTF-8 by trial: UTF-8 itself, then the character
// set of the user's own locale, then the encodings usual for the locale's
// language, in a fixed order. Nothing is ever cut: the whole text converts,
// or the candidate fails.
//
// Results: convert_to_utf8 returns true with the converted text, or false
// (out emptied) when no candidate takes the text whole.
#ifndef VELMORA_TEXT_CONVERSION_H_
#define VELMORA_TEXT_CONVERSION_H_

#include "secret.h"

// Converts text, whole, to UTF-8 by the candidate encodings of the locale:
// UTF-8; the character set of the user's locale (LC_ALL, else LC_CTYPE, else
// LANG: the first that is set and not empty), from the system's locale data
// or else from the codeset its name carries ("de_DE.ISO-8859-1"), when it is
// neither UTF-8 nor ASCII and iconv knows it; then the encodings usual for
// the locale's language, chosen by the start of LC_ALL (when set and not
// empty), else of LC_CTYPE (when set, even empty), else of LANG: ja, ko,
// zh_CN, zh_TW, or any other.
bool convert_to_utf8(const char* text, SecretText* out);

#endif  // VELMORA_TEXT_CONVERSION_H_
