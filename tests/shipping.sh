#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What an administrator meets: cmake --install, the Debian package and its
# maintainer scripts, the man page and the bash completion.
#
#   shipping.sh SOURCE_DIR BUILD_DIR CUPS_SOCKET WORK_DIR
set -u
src=$1 build=$2 socket=$3 work=$4
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
mode_of() { stat -c %a "$1" 2>/dev/null; }
rm -rf "$work" && mkdir -p "$work"

account_dir=$(sed -n 's/^VELMORA_ACCOUNT_DIR:PATH=//p' "$build/CMakeCache.txt")
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")

# ---- cmake --install, honouring DESTDIR
root=$work/root
(umask 000 && DESTDIR=$root cmake --install "$build" >/dev/null) || fail "cmake --install failed"
[ "$(mode_of "$root$(dirname "$account_dir")")" = 755 ] ||
  fail "install made $(dirname "$account_dir") $(mode_of "$root$(dirname "$account_dir")") under umask 000, not 755"
[ "$(mode_of "$root$prefix/bin/velmora-account")" = 755 ] || fail "binary mode is $(mode_of "$root$prefix/bin/velmora-account"), not 755"
[ -f "$root$prefix/share/man/man1/velmora-account.1.gz" ] || fail "man page not installed"
[ -f "$root$prefix/share/man/man5/velmora-account.5.gz" ] || fail "file format page not installed"
[ -f "$root$prefix/share/bash-completion/completions/velmora-account" ] || fail "completion not installed"
[ "$(mode_of "$root$account_dir")" = 1777 ] || fail "account directory mode is $(mode_of "$root$account_dir"), not 1777"
# An empty status file that nobody else can have planted before root's first -e.
check_status_file() {  # directory, what made it
  local status=$1/status
  [ -f "$status" ] && [ ! -s "$status" ] || fail "$2 made no empty status file"
  [ "$(mode_of "$status")" = 644 ] || fail "$2 made the status file $(mode_of "$status")"
  [ "$(stat -c %u:%h "$status")" = "$(id -u):1" ] ||
    fail "$2 made the status file owned and linked as $(stat -c %u:%h "$status")"
  [ -z "$(find "$1" -name '.status.*')" ] || fail "$2 left a temporary file"
}
check_status_file "$root$account_dir" "cmake --install"
chmod 0750 "$root$account_dir"
echo "<lp1>ON</lp1>" > "$root$account_dir/status"
DESTDIR=$root cmake --install "$build" >/dev/null
[ "$(mode_of "$root$account_dir")" = 750 ] || fail "install changed an existing account directory's mode"
[ "$(cat "$root$account_dir/status")" = "<lp1>ON</lp1>" ] || fail "install changed an existing status file"

# ---- the Debian package
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

  # The maintainer scripts, run against a stand-in for the account directory.
  dpkg-deb -e "$deb" "$work/control"
  for script in postinst postrm; do
    [ -x "$work/control/$script" ] || fail "$script missing or not executable"
    grep -qF "dir='$account_dir'" "$work/control/$script" || fail "$script does not name $account_dir"
    sed "s|^dir='.*'|dir='$work/etc/velmora/account'|" "$work/control/$script" > "$work/$script"
  done
  if [ "$(id -u)" -eq 0 ]; then
    pkgdir=$work/etc/velmora/account
    sh "$work/postinst" configure || fail "postinst configure failed"
    [ "$(mode_of "$pkgdir")" = 1777 ] || fail "postinst made the directory $(mode_of "$pkgdir")"
    check_status_file "$pkgdir" postinst
    echo data > "$pkgdir/alice.conf"
    echo data > "$pkgdir/status"
    sh "$work/postrm" remove && sh "$work/postrm" purge || fail "postrm failed"
    [ -f "$pkgdir/alice.conf" ] && [ -f "$pkgdir/status" ] || fail "remove or purge deleted users' files"
    rm "$pkgdir/alice.conf"
    : > "$pkgdir/status"  # as the package made it: purge takes it, then the directory
    sh "$work/postrm" purge || fail "postrm purge failed"
    [ -e "$pkgdir" ] && fail "purge left the account directory or its empty status file"

    # A neighbour racing the setup: a status link to a directory of theirs,
    # planted and removed in a loop. The setup never creates anything there;
    # it either leaves root's file or fails naming the path.
    race=$(mktemp -d /tmp/velmora-race.XXXXXX)
    chmod 755 "$race"
    mkdir "$race/theirs" "$race/acct"
    chmod 1777 "$race/acct"
    chown 65534 "$race/theirs"
    setpriv --reuid=65534 --regid=65534 --clear-groups sh -c \
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
  else
    echo "maintainer scripts not run: they need root"
  fi
fi

# ---- the man page: no groff warnings, every option of the usage text
page=$build/velmora-account.1
warnings=$(groff -man -ww -z "$page" "$build/velmora-account.5" 2>&1)
[ -z "$warnings" ] || fail "groff warnings: $warnings"
options=$("$build/velmora-account" 2>&1 | awk '$1 == "velmora-account" && $2 ~ /^-/ { print $2 }')
[ "$(echo $options)" = "-p -x -pu -xu -ps -xs -e -eu -d" ] || fail "usage text options: $(echo $options)"
for option in $options --list --help --version; do
  grep -qxF ".B ${option//-/\\-}" "$page" || fail "man page does not describe $option"
done

# ---- bash completion, against the private scheduler (queues lp1 and lp2)
complete_words() {  # index of the word being completed, then the words after the command
  CUPS_SERVER=$socket HOME=$work bash -c '
    source "$1"; shift; COMP_CWORD=$1; shift; COMP_WORDS=(velmora-account "$@")
    _velmora_account; echo "${COMPREPLY[*]}"' _ "$src/completion/velmora-account" "$@"
}
check_completion() {  # expected, then complete_words arguments
  local expected=$1 got
  shift
  got=$(complete_words "$@")
  [ "$got" = "$expected" ] || fail "completing '$*' gave '$got', not '$expected'"
}
check_completion "-p -x -pu -xu -ps -xs -e -eu -d --list --check --help --version" 1 ''
check_completion "-p -pu -ps" 1 -p
check_completion "lp1 lp2" 2 --check ''
check_completion "" 2 --list ''
check_completion "lp1 lp2" 2 -pu ''
check_completion "lp2" 2 -xs lp2
check_completion "" 3 -pu lp1 x

echo "shipping: $failures problems"
[ $failures -eq 0 ]
