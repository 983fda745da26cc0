#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What cmake --install leaves: the binary, the pages, the completion, and an
# account directory with an empty status file that nobody else can have
# planted, whatever the umask.
#
#   install.sh SOURCE_DIR BUILD_DIR WORK_DIR
set -u
. "$(dirname "$0")/../support/lib.sh"
src=$1 build=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
account_dir=$(sed -n 's/^VELMORA_ACCOUNT_DIR:PATH=//p' "$build/CMakeCache.txt")
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
. "$src/tests/shipping/status_file.sh"

root=$work/root
(umask 000 && DESTDIR=$root cmake --install "$build" >/dev/null) || fail "cmake --install failed"
[ "$(mode_of "$root$(dirname "$account_dir")")" = 755 ] ||
  fail "install made $(dirname "$account_dir") $(mode_of "$root$(dirname "$account_dir")") under umask 000, not 755"
[ "$(mode_of "$root$prefix/bin/velmora-account")" = 755 ] || fail "binary mode is $(mode_of "$root$prefix/bin/velmora-account"), not 755"
[ -f "$root$prefix/share/man/man1/velmora-account.1.gz" ] || fail "man page not installed"
[ -f "$root$prefix/share/man/man5/velmora-account.5.gz" ] || fail "file format page not installed"
[ -f "$root$prefix/share/bash-completion/completions/velmora-account" ] || fail "completion not installed"
[ "$(mode_of "$root$account_dir")" = 1777 ] || fail "account directory mode is $(mode_of "$root$account_dir"), not 1777"
check_status_file "$root$account_dir" "cmake --install"
chmod 0750 "$root$account_dir"
echo "<lp1>ON</lp1>" > "$root$account_dir/status"
DESTDIR=$root cmake --install "$build" >/dev/null
[ "$(mode_of "$root$account_dir")" = 750 ] || fail "install changed an existing account directory's mode"
[ "$(cat "$root$account_dir/status")" = "<lp1>ON</lp1>" ] || fail "install changed an existing status file"

finish install
