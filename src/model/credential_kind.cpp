// SPDX-License-Identifier: Apache-2.0
#include "credential_kind.h"

#include <iterator>

#include "translation.h"

namespace {

// Deliberate: the words are what scripts read (--json, --batch) and the
// options what users type; a table shows the word translated.
constexpr KindNames kNames[] = {
    {W_("job-accounting"), "-p", "-x"},
    {W_("user-authentication"), "-pu", "-xu"},
    {W_("secured-print"), "-ps", "-xs"},
};
static_assert(std::size(kNames) == std::size(kCredentialKinds));

}  // namespace

const KindNames& names_of(CredentialKind kind) { return kNames[index_of(kind)]; }
