#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Bash completion, against the private scheduler (queues lp1 and lp2) and
# the test build of the tool, as root and as an ordinary user.
#
#   completion.sh SOURCE_DIR CUPS_SOCKET TOOL_DIR ACCOUNT_DIR WORK_DIR
set -u
. "$(dirname "$0")/../support/lib.sh"
src=$1 socket=$2 tools=$3 accounts=$4 work=$5
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
account_dir_ready "$accounts"
as=()  # run as root; as=(setpriv ...) for an ordinary user
complete_words() {  # index of the word being completed, then the words after the command
  "${as[@]}" env CUPS_SERVER="$socket" HOME="$work" PATH="$tools:$PATH" USER=alice bash -c '
    source "$1"; shift; COMP_CWORD=$1; shift; COMP_WORDS=(velmora-account "$@")
    _velmora_account; echo "${COMPREPLY[*]}"' _ "$src/completion/velmora-account" "$@"
}
check_completion() {  # expected, then complete_words arguments
  local expected=$1 got
  shift
  got=$(complete_words "$@")
  [ "$got" = "$expected" ] || fail "completing '$*' gave '$got', not '$expected'"
}
check_completion "-p -x -pu -xu -ps -xs -e -eu -d --list --check --batch --forget --user --help --version" 1 ''
check_completion "-p -pu -ps" 1 -p
check_completion "lp1 lp2" 2 --check ''
check_completion "--json --all-users" 2 --list ''
check_completion "lp1 lp2" 2 -pu ''
check_completion "lp2" 2 -xs lp2
check_completion "" 3 -pu lp1 x
check_completion "lp1 lp2" 4 --user root -p ''
# A deleted queue's sections: offered to a remove; to root's --forget, only
# they (a live queue would be refused).
printf '<gone>\nid=1\n</gone>\n' > "$accounts/root.conf"
chmod 600 "$accounts/root.conf"
check_completion "gone lp1 lp2" 2 -x ''
check_completion "gone" 2 --forget ''
rm -f "$accounts/root.conf"
if [ "$(id -u)" -eq 0 ]; then
  # A neighbour's section named to run a command in root's completion: it is
  # offered, as a word that names it when the command line runs, and runs
  # nothing.
  hostile="x'\$(id|tee\${IFS}owned) "
  printf '<%s>\nid=1\n</%s>\n<gone>\nid=1\n</gone>\n' "$hostile" "$hostile" > "$accounts/nobody.conf"
  chown 65534:65534 "$accounts/nobody.conf" && chmod 600 "$accounts/nobody.conf"
  offered=$(complete_words 2 --forget '')
  [ -e owned ] && fail "completing --forget ran a command: $(cat owned)"
  named=$(bash -c "printf '[%s]' $offered")
  [ "$named" = "[$hostile][gone]" ] || fail "completing --forget offered '$offered', naming '$named'"
  [ -e owned ] && fail "a word completion offered ran a command: $(cat owned)"
  rm -f "$accounts/nobody.conf" owned
  as=("${as_nobody[@]}")
  check_completion "-p -x -pu -xu -ps -xs --list --check --batch --help --version" 1 ''
  check_completion "--json" 2 --list ''
  check_completion "" 1 -e  # never offered
fi
finish completion
