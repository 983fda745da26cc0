#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The package's maintainer scripts (as the package ships them), run against
# a stand-in for the account directory: what configure makes, what remove
# and purge leave, and a neighbour racing the setup.
#
#   maintainer_scripts.sh SOURCE_DIR BUILD_DIR WORK_DIR
set -u
. "$(dirname "$0")/../support/lib.sh"
src=$1 build=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
account_dir=$(sed -n 's/^VELMORA_ACCOUNT_DIR:PATH=//p' "$build/CMakeCache.txt")
. "$src/tests/shipping/status_file.sh"
need_root "maintainer scripts" "they run as root"

for script in postinst postrm; do
  [ -x "$build/packaging/$script" ] || fail "$script missing or not executable"
  grep -qF "dir='$account_dir'" "$build/packaging/$script" || fail "$script does not name $account_dir"
  sed "s|^dir='.*'|dir='$work/etc/velmora/account'|" "$build/packaging/$script" > "$work/$script"
done
pkgdir=$work/etc/velmora/account
sh "$work/postinst" configure || fail "postinst configure failed"
[ "$(mode_of "$pkgdir")" = 1777 ] || fail "postinst made the directory $(mode_of "$pkgdir")"
check_status_file "$pkgdir" postinst
echo data > "$pkgdir/alice.conf"
echo "<lp1>ON</lp1>" > "$pkgdir/status"
ln -s /etc/passwd "$pkgdir/planted"
sh "$work/postrm" remove || fail "postrm remove failed"
[ -f "$pkgdir/alice.conf" ] && [ -f "$pkgdir/status" ] || fail "remove deleted users' files"
# A user creating files all the while does not make the purge fail.
"${as_nobody[@]}" sh -c \
  'i=0; while :; do i=$((i + 1)); : > "$1/u$i.conf" 2>/dev/null; done' _ "$pkgdir" &
creator=$!
sleep 0.2
sh "$work/postrm" purge || fail "postrm purge failed"
kill "$creator"
wait "$creator" 2>/dev/null
[ -e "$pkgdir" ] && fail "purge left the account directory"
[ -e "$(dirname "$pkgdir")" ] && fail "purge left the empty directory above it"
[ -f /etc/passwd ] || fail "purge followed a planted link"

# A neighbour racing the setup: a status link to a directory of theirs,
# planted and removed in a loop. The setup never creates anything there; it
# either leaves root's file or fails naming the path.
race=$(mktemp -d /tmp/velmora-race.XXXXXX)
chmod 755 "$race"
mkdir "$race/theirs" "$race/acct"
chmod 1777 "$race/acct"
chown 65534 "$race/theirs"
"${as_nobody[@]}" sh -c \
  'while :; do ln -s "$1" "$2/status" 2>/dev/null; rm -f "$2/status" 2>/dev/null; done' \
  _ "$race/theirs" "$race/acct" &
planter=$!
# The link lives for moments: remember having seen it, do not look again.
planted=no
for _ in $(seq 500); do [ -L "$race/acct/status" ] && { planted=yes; break; }; sleep 0.01; done
[ $planted = yes ] || fail "race: the planter never planted"
refused=0
for _ in $(seq 200); do
  rm -f "$race/acct/status"
  if err=$(sh -c '. "$1"; setup_account_dir "$2"' _ "$src/packaging/account-dir-setup.sh" "$race/acct" 2>&1); then
    [ "$(stat -c %u:%a:%h "$race/acct/status")" = 0:644:1 ] || fail "race: setup passed a status of $(stat -c %u:%a:%h "$race/acct/status")"
  else
    refused=$((refused + 1))
    grep -qF "$race/acct/status" <<< "$err" || fail "race: setup failed without naming the file: $err"
  fi
done
kill "$planter"
wait "$planter" 2>/dev/null
[ -z "$(ls -A "$race/theirs")" ] || fail "race: the setup created $(ls -A "$race/theirs") in the planter's directory"
echo "install race: $refused of 200 setups refused a planted status"
rm -rf "$race"
finish "maintainer scripts"
