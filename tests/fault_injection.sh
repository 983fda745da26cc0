#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fails, one at a time, every system call that an update makes on the account
# directory, and kills the update at each of them, then checks that each file
# is always its whole old or whole new content.
#
#   fault_injection.sh SCENARIO TOOL HARNESS ACCOUNT_DIR CUPS_SOCKET WORK_DIR
#
# The store harness (support/store_harness.cpp) makes the scenario's
# updates as the tool makes them, without a scheduler or a prompt, so that
# its hundreds of runs are quick. A clean run under strace lists the calls
# that touch the account directory (by path, or by a descriptor opened
# there) and numbers them per system call; a run is then repeated with
# strace injecting an error, or SIGKILL, at exactly that call. The tool
# itself, end to end, must leave the same bytes as the harness, and its
# first write, last flush and first rename are failed and killed too; so
# are runs that meet another run's lock. Exits 77 (skipped) when strace
# cannot run.
set -u
. "$(dirname "$0")/support/lib.sh"

scenario=$1 tool=$2 harness=$3 dir=$4 socket=$5 work=$6
calls=openat,read,write,writev,fsync,lseek,rename,renameat,renameat2,unlink,unlinkat,close,flock,fcntl,fchmod,fchown,newfstatat,linkat,ftruncate
export CUPS_SERVER=$socket HOME=$work/home VELMORA_TEST_ACCOUNT_DIR=$dir ASAN_OPTIONS=detect_leaks=0:${ASAN_OPTIONS:-}

skip() { echo "fault injection skipped: $*"; exit 77; }
command -v strace >/dev/null || skip "strace is not installed"
need_root "fault injection" "the status file is root's"
strace -qq -o /dev/null true 2>/dev/null || skip "strace cannot trace here (ptrace not permitted)"

rm -rf "$work" && mkdir -p "$work/home"
account_dir_ready "$dir"
injected=0 killed=0 recovered=0

# A realistic credential file: several printers' sections, over one chunk.
conf_old() {
  echo "# printers for root"
  printf '<lp1>\nid=1001\npassword=4242\n</lp1>\n'
  printf '<office>\r\nu_id=YWxpY2U=\r\nu_password=c2VjcmV0\r\n</office>\r\n'
  printf '# %s\n' "$(printf 'x%.0s' {1..300})"  # the file spans two chunks
  printf '<floor-a>\nid=20\npassword=77\nu_id=Ym9i\nu_password=cHc=\n</floor-a>\n'
  printf '# %s\n' "$(printf 'y%.0s' {1..300})"
  printf '<lp2>\nu_id=Ym9i\nu_password=cHc=\ns_id=Ym9i\ns_password=MTIz\n</lp2>\n'
}
status_old() {
  for p in a b c d e f g h; do echo "<queue-$p>ON</queue-$p>"; done
  printf '# %s\n' "$(printf 'z%.0s' {1..600})"
  printf '<lp2>OFF</lp2>\n<lp1>U_ON</lp1>\n'
}

# When the scan of a remove cannot even start, the section's tags are kept
# (its keys still go): a deliberate, safe outcome besides old and new.
conf_removed_keeping_tags() {
  conf_old | tr -d '\r' | sed '/^<lp1>$/,/^<\/lp1>$/{/^id=/d;/^password=/d}'
}

# Records for both users' files, a change and a removal in each.
batch_input=$(printf '%s\\n' \
  '{"queue":"lp2","kind":"job-accounting","id":"7","password":"8"}' \
  '{"queue":"lp1","kind":"job-accounting","state":"absent"}' \
  '{"user":"nobody","queue":"lp1","kind":"secured-print","id":"bob","password":"pw"}' \
  '{"user":"nobody","queue":"lp2","kind":"user-authentication","state":"absent"}')

# name | option | queue | input | the harness's steps | files | their old contents
# | other acceptable contents (files, contents and steps as lists; "-" where
# no other content is acceptable)
scenarios=(
  "credential-set|-pu|lp2|carol\nn3w-pass\n|root.conf:lp2:user:carol:n3w-pass|root.conf|conf_old|-"
  "credential-remove|-x|lp1||root.conf:lp1:job|root.conf|conf_old|conf_removed_keeping_tags"
  "status|-eu|lp2||status:lp2:user|status|status_old|-"
  "forget|--forget|office||forget:office|status root.conf nobody.conf|status_old conf_old conf_old|- - -"
  "batch|--batch||$batch_input|nobody.conf:lp1:secure:bob:pw nobody.conf:lp2:user root.conf:lp2:job:7:8 root.conf:lp1:job|root.conf nobody.conf|conf_old conf_old|- -"
)

# The calls of a traced run that touch $dir, as "syscall occurrence" pairs.
account_calls() {
  awk -v dir="$dir" -v base="${dir##*/}" -v want="$calls" '
    BEGIN { n = split(want, w, ","); for (i = 1; i <= n; i++) wanted[w[i]] = 1 }
    {
      line = $0; sub(/^[0-9]+ +/, "", line)
      name = line; sub(/\(.*/, "", name)
      if (!(name in wanted)) next
      count[name]++
      # A call touches the directory by its path or its name (the tool walks
      # to it one name at a time), or through a descriptor opened there (the
      # directory itself included: openat, renameat, unlinkat and newfstatat
      # work relative to it).
      fd = line; sub(/^[a-z0-9]+\(/, "", fd); sub(/[,)].*/, "", fd)
      touches = (fd in open) || index(line, "\"" dir "/") > 0 || index(line, "\"" dir "\"") > 0 ||
                index(line, "\"" base "\"") > 0
      if (name == "close") delete open[fd]
      if (name == "openat" && touches) {
        result = line; sub(/.*= /, "", result)
        if (result ~ /^[0-9]+$/) open[result] = 1
      }
      if (touches) print name, count[name]
    }' "$1"
}

errors_for() {
  case $1 in
    write | writev | fsync) echo ENOSPC EIO ;;
    read | lseek | close | newfstatat | fchmod) echo EIO ;;
    openat) echo EACCES EOPNOTSUPP ;;  # EOPNOTSUPP: no unnamed files here
    unlink | unlinkat | linkat) echo EACCES ;;
    ftruncate) echo EIO ;;
    rename | renameat) echo EIO EXDEV ;;
    flock | fcntl) echo ENOLCK ;;
    fchown | renameat2) echo EPERM ;;
  esac
}

prepare() {  # files, then their old-content functions
  local files=($1) makers=($2) i
  find "$dir" -mindepth 1 -delete
  for i in "${!files[@]}"; do
    "${makers[$i]}" > "$dir/${files[$i]}"
    if [ "${files[$i]}" = status ]; then chmod 644 "$dir/status"; else chmod 600 "$dir/${files[$i]}"; fi
    [ "${files[$i]}" = nobody.conf ] && chown 65534:65534 "$dir/nobody.conf"
  done
}

# The content of each file (and the dot that keeps its last line feed), one
# element each, into the array named $1.
contents() {
  local -n into=$1
  local file
  into=()
  for file in $2; do into+=("$(cat "$dir/$file" 2>/dev/null; echo .)"); done
}

# --batch ends with its count of records; what is checked is the rest.
drop_counts() {
  sed -i -E '/^velmora-account: [0-9]+ changed, [0-9]+ unchanged, [0-9]+ refused$/d' "$@"
}

# Runs a command under strace: strace options..., --, the command's words;
# standard input is $input, what it says goes to $work/stderr.
traced() {
  local at
  for ((at = 1; at <= $#; at++)); do [ "${!at}" = -- ] && break; done
  # A subshell, so that the shell's report of a killed job stays quiet.
  ( printf "$input" | strace -qq -o /dev/null -e trace=$calls "${@:1:at-1}" "${@:at+1}" \
      >/dev/null 2>"$work/stderr" ) 2>/dev/null
  local rc=$?
  drop_counts "$work/stderr"
  return $rc
}

# Fails or kills (error KILL) a run at the call, then checks the files:
# syscall, occurrence, error, then the command's words.
inject_and_check() {
  local syscall=$1 when=$2 error=$3 inject rc what whole stayed leftovers leftover said lines i
  shift 3
  prepare "$files" "$makers"
  if [ "$error" = KILL ]; then
    inject="inject=$syscall:signal=KILL:when=$when"
    killed=$((killed + 1))
  else
    inject="inject=$syscall:error=$error:when=$when"
    injected=$((injected + 1))
  fi
  traced -e "$inject" -- "$@"
  rc=$?
  what="$name (${1##*/}), $syscall #$when, $error"
  contents now "$files"
  whole=yes stayed=no
  for i in "${!now[@]}"; do
    [ "${now[$i]}" = "${old[$i]}" ] && [ "${old[$i]}" != "${new[$i]}" ] && stayed=yes
    [ "${now[$i]}" = "${old[$i]}" ] || [ "${now[$i]}" = "${new[$i]}" ] || [ "${now[$i]}" = "${other[$i]}" ] ||
      whole=no
  done
  if [ $whole = no ]; then
    fail "$what: a file is neither its old nor its new content (rc $rc): $(cat "$work/stderr")"
    for i in "${!now[@]}"; do
      diff <(printf '%s' "${new[$i]}") <(printf '%s' "${now[$i]}") | head -n 8
    done
    return
  fi
  leftovers=$(cd "$dir" && ls -- *.new 2>/dev/null)
  if [ "$error" = KILL ]; then
    # A replacement file left by the killed run is taken over by the
    # next one, which says so and finishes the update.
    [ -n "$leftovers" ] && recovered=$((recovered + 1))
    traced -- "$@" || fail "$what: the run after the kill failed: $(cat "$work/stderr")"
    said=
    for leftover in $leftovers; do said+="velmora-account: took over $dir/$leftover, left by an interrupted update"; done
    [ "$(cat "$work/stderr")" = "$said" ] || fail "$what: the run after the kill said '$(cat "$work/stderr")'"
    [ -z "$(cd "$dir" && ls -- *.new 2>/dev/null)" ] ||
      fail "$what: a replacement file outlived the run after the kill"
    contents now "$files"
    [ "${now[*]}" = "${new[*]}" ] || fail "$what: the run after the kill did not finish the update"
    return
  fi
  [ -n "$leftovers" ] && fail "$what: a replacement file was left behind"
  lines=$(wc -l < "$work/stderr")
  if [ $stayed = yes ] && { [ $rc -ne 1 ] || [ "$lines" -ne 1 ]; }; then
    fail "$what: not updated, but exit $rc with $lines lines of message"
  fi
  if [ $rc -ne 0 ] && ! grep -q "^velmora-account: " "$work/stderr"; then
    fail "$what: exit $rc without a message"
  fi
}

entry=
for e in "${scenarios[@]}"; do [ "${e%%|*}" = "$scenario" ] && entry=$e; done
[ -n "$entry" ] || { echo "fault_injection.sh: no scenario '$scenario'" >&2; exit 2; }
IFS='|' read -r name option printer input steps files makers others <<< "$entry"
first=${files%% *}
tool_words=("$tool" "$option")
[ -z "$printer" ] || tool_words+=("$printer")
read -r -a harness_words <<< "$harness $steps"
prepare "$files" "$makers"
contents old "$files"
other=()
for maker in $others; do other+=("$([ "$maker" = - ] || "$maker"; echo .)"); done

# The tool end to end, then the harness: the same new bytes.
traced -o "$work/tool-trace" -- "${tool_words[@]}" ||
  fail "$name: the tool's clean run failed: $(tail -n 2 "$work/stderr")"
contents new "$files"
[ "${new[*]}" != "${old[*]}" ] || fail "$name: the clean run changed nothing"
prepare "$files" "$makers"
traced -o "$work/trace" -- "${harness_words[@]}" ||
  fail "$name: the harness's clean run failed: $(tail -n 2 "$work/stderr")"
contents by_harness "$files"
[ "${by_harness[*]}" = "${new[*]}" ] || fail "$name: the harness and the tool left different files"
# Each file that changed was written once: one rename onto its name.
changed=0
for i in "${!new[@]}"; do [ "${new[$i]}" = "${old[$i]}" ] || changed=$((changed + 1)); done
for trace in "$work/tool-trace" "$work/trace"; do
  renames=$(grep -c 'rename.*\.new"' "$trace")
  [ "$renames" = "$changed" ] || fail "$name: $renames renames for $changed changed files in ${trace##*/}"
done
mapfile -t points < <(account_calls "$work/trace")
# The harness makes the tool's calls on the directory, in the same order.
[ "$(account_calls "$work/tool-trace" | cut -d' ' -f1)" = "$(printf '%s\n' "${points[@]}" | cut -d' ' -f1)" ] ||
  fail "$name: the harness and the tool make different calls on $dir"
[ ${#points[@]} -gt 5 ] || fail "$name: only ${#points[@]} calls found on $dir"

# Every call of the harness, every error it may meet, and a kill.
total=0
for point in "${points[@]}"; do total=$((total + $(wc -w <<< "$(errors_for "${point% *}") KILL"))); done
done_runs=0 said_at=$SECONDS
for point in "${points[@]}"; do
  read -r syscall when <<< "$point"
  for error in $(errors_for "$syscall") KILL; do
    inject_and_check "$syscall" "$when" "$error" "${harness_words[@]}"
    done_runs=$((done_runs + 1))
    if ((SECONDS - said_at >= 5)); then
      echo "fault injection ($name): $done_runs of $total"
      said_at=$SECONDS
    fi
  done
done

# The tool itself at its first write, its last flush and its first rename.
mapfile -t tool_points < <(account_calls "$work/tool-trace")
picks=$(printf '%s\n' "${tool_points[@]}" | awk '
  $1 ~ /^write/ && !w { w = $0 } $1 == "fsync" { f = $0 } $1 ~ /^rename/ && !r { r = $0 }
  END { if (w) print w " ENOSPC"; if (f) print f " EIO"; if (r) print r " KILL"; if (w) print w " KILL" }')
while read -r syscall when error; do
  inject_and_check "$syscall" "$when" "$error" "${tool_words[@]}"
done <<< "$picks"

# A user's file stays theirs, whatever root did to it.
case " $files " in *" nobody.conf "*)
  [ "$(stat -c %u:%a "$dir/nobody.conf")" = 65534:600 ] || fail "$name: nobody.conf is $(stat -c %u:%a "$dir/nobody.conf")" ;;
esac

# A replacement file that another run holds is never taken over or
# removed, whatever fails.
for point in "openat 1" "openat 2" "close 1"; do
  read -r syscall when <<< "$point"
  prepare "$files" "$makers"
  echo "held by another run" > "$dir/$first.new"
  hold_write_lock "$dir/$first.new"
  traced -e "inject=$syscall:error=EIO:when=$when" -- "${tool_words[@]}"
  kill $holder
  wait $holder 2>/dev/null
  [ "$(cat "$dir/$first.new")" = "held by another run" ] || fail "$name: another run's replacement file was touched"
  [ "$(cat "$dir/$first"; echo .)" = "${old[0]}" ] || fail "$name: changed while another run held the file"
done

# A run's first instant: held up on its way to the lock, its replacement
# file must be nowhere to be seen, so that no other run calls it a
# leftover or takes it over.
prepare "$files" "$makers"
: >"$work/slow.trace"
( printf "$input" | strace -qq -o "$work/slow.trace" -e trace=flock -e inject=flock:delay_enter=2000000 \
    "${tool_words[@]}" >/dev/null 2>"$work/slow.err"; echo $? > "$work/slow.rc" ) &
# Once strace says the slow run entered its lock call (and holds it there).
for _ in $(seq 500); do grep -q 'flock(' "$work/slow.trace" && break; sleep 0.02; done
grep -q 'flock(' "$work/slow.trace" || fail "$name: the slow run never reached its lock"
printf "$input" | "${tool_words[@]}" >/dev/null 2>"$work/quick.err"
quick=$?
wait
drop_counts "$work/quick.err" "$work/slow.err"
[ $quick = 0 ] && [ "$(cat "$work/slow.rc")" = 0 ] && [ ! -s "$work/quick.err" ] && [ ! -s "$work/slow.err" ] ||
  fail "$name: two runs, one held up before its lock: $quick '$(cat "$work/quick.err")', $(cat "$work/slow.rc") '$(cat "$work/slow.err")'"

echo "$injected failures injected, $killed kill points ($recovered leftovers taken over)"
finish "fault injection ($name)"
