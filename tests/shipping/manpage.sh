#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The man pages: no groff warnings, and every option described.
#
#   manpage.sh BUILD_DIR
set -u
. "$(dirname "$0")/../support/lib.sh"
build=$1
page=$build/velmora-account.1
warnings=$(groff -man -ww -z "$page" "$build/velmora-account.5" 2>&1)
[ -z "$warnings" ] || fail "groff warnings: $warnings"
options=$("$build/velmora-account" 2>&1 | awk '$1 == "velmora-account" && $2 ~ /^-/ { print $2 }')
[ "$(echo $options)" = "-p -x -pu -xu -ps -xs -e -eu -d" ] || fail "usage text options: $(echo $options)"
for option in $options --list --json --all-users --help --version; do
  grep -qxF ".B ${option//-/\\-}" "$page" || fail "man page does not describe $option"
done
finish manpage
