#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Debian package: its fields, its contents, the copyright and changelog,
# and what Debian's own tools say of it (lintian, hardening-check).
#
#   package.sh BUILD_DIR WORK_DIR
set -u
. "$(dirname "$0")/../support/lib.sh"
build=$1 work=$2
rm -rf "$work" && mkdir -p "$work"
(cd "$build" && cpack -B "$work/pkg" >/dev/null) || fail "cpack failed"
arch=$(dpkg --print-architecture)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$work/pkg/velmora-account_${version}_$arch.deb
if [ ! -f "$deb" ]; then
  fail "no package $deb"
else
  [ "$(dpkg-deb -f "$deb" Package)" = velmora-account ] || fail "package name"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "package architecture"
  dpkg-deb -f "$deb" Depends | grep -q 'libcups2' || fail "Depends lacks libcups2: $(dpkg-deb -f "$deb" Depends)"
  contents=$(dpkg-deb -c "$deb")
  grep -q '^-rwxr-xr-x root/root .* \./usr/bin/velmora-account$' <<< "$contents" || fail "binary not 0755 root/root in the package"
  grep -q '\./usr/share/man/man1/velmora-account\.1\.gz$' <<< "$contents" || fail "man page missing from the package"
  grep -q '\./usr/share/man/man5/velmora-account\.5\.gz$' <<< "$contents" || fail "file format page missing from the package"
  grep -q '\./usr/share/bash-completion/completions/velmora-account$' <<< "$contents" || fail "completion missing from the package"
  grep -q '\./etc/' <<< "$contents" && fail "the package ships the account directory (removal would delete it)"
  file "$(dpkg-deb -x "$deb" "$work/unpacked" && echo "$work/unpacked/usr/bin/velmora-account")" | grep -q 'not stripped' &&
    fail "the packaged binary is not stripped"
  # The tool looks for its catalogues where the package puts them.
  grep -q '\./usr/share/locale/ja/LC_MESSAGES/velmora-account\.mo$' <<< "$contents" || fail "no Japanese catalogue in the package"
  grep -qa '/usr/share/locale' "$work/unpacked/usr/bin/velmora-account" || fail "the packaged tool looks for its catalogues elsewhere"
  doc=$work/unpacked/usr/share/doc/velmora-account
  grep -qx 'License: Apache-2.0' "$doc/copyright" 2>/dev/null || fail "no Apache-2.0 copyright file"
  zcat "$doc/changelog.gz" 2>/dev/null | head -n 1 | grep -q "^velmora-account ($version) " ||
    fail "the changelog's latest entry is not $version"

  # What Debian's own tools say: lintian clean at every level shown, and every
  # hardening feature present that applies to this architecture (unknown only
  # where the check says why). Branch protection (BTI, PAC) exists on arm64
  # only, control flow protection (CET) on x86 only.
  lint=$(lintian --allow-root --pedantic -I -E --fail-on error,warning,info,pedantic "$deb" 2>&1) ||
    fail "lintian: $lint"
  hardening=$(hardening-check "$work/unpacked/usr/bin/velmora-account" 2>&1)
  case $arch in
    amd64 | i386) elsewhere='^ *Branch Protection:' ;;
    arm64) elsewhere='^ *Control flow integrity:' ;;
    *) elsewhere='^ *(Branch Protection|Control flow integrity):' ;;
  esac
  grep -E ': (no|unknown)$|: no[,!]' <<< "$hardening" | grep -Ev "$elsewhere|not applicable" &&
    fail "hardening-check: $hardening"
  echo "$lint"
  echo "$hardening"

  # The package for real, where nothing else is at stake (a root made by
  # scripts/test-release): remove keeps a user's credentials, purge takes
  # the account directory with everything in it.
  if [ "${VELMORA_THROWAWAY_ROOT:-}" = 1 ] && [ "$(id -u)" -eq 0 ]; then
    account_dir=$(sed -n 's/^VELMORA_ACCOUNT_DIR:PATH=//p' "$build/CMakeCache.txt")
    dpkg -i "$deb" >/dev/null || fail "dpkg -i failed"
    echo "<lp1>" > "$account_dir/alice.conf"
    dpkg --remove velmora-account >/dev/null || fail "dpkg --remove failed"
    [ -f "$account_dir/alice.conf" ] || fail "remove deleted a user's credentials"
    dpkg --purge velmora-account >/dev/null || fail "dpkg --purge failed"
    [ -e "$account_dir" ] && fail "purge left $account_dir"
  else
    echo "install, remove and purge run in a throwaway root only (scripts/test-release)"
  fi
fi
finish package
