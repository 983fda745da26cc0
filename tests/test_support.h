// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the tests: files in the test account directory.
#ifndef VELMORA_TEST_SUPPORT_H_
#define VELMORA_TEST_SUPPORT_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "credential_kind.h"

// Short names for the kinds in test tables.
constexpr CredentialKind kJob = CredentialKind::kJobAccounting;
constexpr CredentialKind kUser = CredentialKind::kUserAuthentication;
constexpr CredentialKind kSecure = CredentialKind::kSecuredPrint;
constexpr CredentialKind kNoKind = CredentialKind::kNone;

// Empties the test account directory (creating it when missing).
void reset_account_dir();

std::string account_path(const std::string& name);
std::vector<std::string> account_dir_entries();
void write_file(const std::string& path, const std::string& bytes, mode_t mode = 0600);
std::optional<std::string> read_file(const std::string& path);
bool file_exists(const std::string& path);
mode_t file_mode(const std::string& path);

// Base64 of text, by the encoder under test's reference: an independent
// encoder keeps the store tests from trusting the code they check.
std::string base64(const std::string& text);

#endif  // VELMORA_TEST_SUPPORT_H_
