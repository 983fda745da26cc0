#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Many runs at once: each must finish (0) or refuse with a message (1), and
# the file must end up holding exactly the sections of the runs that finished.
#
#   concurrency.sh TOOL ACCOUNT_DIR WORK_DIR
set -u
. "$(dirname "$0")/support/lib.sh"

tool=$1 dir=$2 work=$3
need_root concurrency "the status file is root's"
rm -rf "$work" && mkdir -p "$work/home"
account_dir_ready "$dir"
runs=24 rounds=3 finished=0 refused=0
# A scheduler of its own, with a queue for each run.
own_scheduler "$work/cups" $(seq -f 'c%g' $runs)
export CUPS_SERVER=$socket HOME=$work/home VELMORA_TEST_ACCOUNT_DIR=$dir

check_run() {  # name -> sets ok when the run finished
  local rc err
  rc=$(cat "$work/$1.rc")
  err=$(cat "$work/$1.err")
  ok=0
  if [ "$rc" = 0 ] && [ -z "$err" ]; then
    ok=1 finished=$((finished + 1))
  elif [ "$rc" = 1 ] && [ "$(wc -l < "$work/$1.err")" -eq 1 ] && [[ $err == "velmora-account: "* ]]; then
    refused=$((refused + 1))
  else
    fail "$1: exit $rc with '$err'"
  fi
}

for round in $(seq $rounds); do
  find "$dir" -mindepth 1 -delete
  for i in $(seq $runs); do
    ( printf 'id%s\npin%s\n' "$i" "$i" | timeout 60 "$tool" -p "c$i" >/dev/null 2>"$work/p$i.err"
      echo $? > "$work/p$i.rc" ) &
  done
  ops=(-e -eu -d -e -eu -d)
  for i in "${!ops[@]}"; do
    ( timeout 60 "$tool" "${ops[$i]}" "c$((i + 1))" 2>"$work/s$i.err"; echo $? > "$work/s$i.rc" ) &
  done
  wait

  expected=
  for i in $(seq $runs); do
    check_run "p$i"
    [ $ok = 1 ] && expected+="$i"$'\n'
  done
  # The file must be whole four-line sections, one for each finished run.
  actual=$(awk '{ line[NR] = $0 }
    END {
      if (NR % 4) { print "torn"; exit }
      for (i = 1; i <= NR; i += 4) {
        n = line[i]; gsub(/[<>c]/, "", n)
        if (line[i] != "<c" n ">" || line[i + 1] != "id=id" n || line[i + 2] != "password=pin" n ||
            line[i + 3] != "</c" n ">") { print "torn"; exit }
        print n
      }
    }' "$dir/root.conf" 2>/dev/null | sort -n)
  [ "$actual" = "$(printf '%s' "$expected" | sort -n)" ] ||
    fail "round $round: sections $(echo $actual) in the file, runs $(echo $expected) finished"

  status_expected=
  values=(ON U_ON OFF ON U_ON OFF)
  for i in "${!ops[@]}"; do
    check_run "s$i"
    [ $ok = 1 ] && status_expected+="<c$((i + 1))>${values[$i]}</c$((i + 1))>"$'\n'
  done
  actual=$(sort "$dir/status" 2>/dev/null)
  [ "$actual" = "$(printf '%s' "$status_expected" | sort)" ] || fail "round $round: status file is '$actual'"
done

echo "$((rounds * (runs + 6))) runs, $finished finished, $refused refused"
[ $finished -gt 0 ] || fail "no run finished"
finish concurrency
