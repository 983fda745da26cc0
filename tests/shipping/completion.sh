#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Bash completion, against the private scheduler (queues lp1 and lp2).
#
#   completion.sh SOURCE_DIR CUPS_SOCKET WORK_DIR
set -u
. "$(dirname "$0")/../lib.sh"
src=$1 socket=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
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
finish completion
