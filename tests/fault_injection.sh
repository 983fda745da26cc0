#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fails, one at a time, every system call that an update makes on the account
# directory, and kills the tool at each of them, then checks that the file is
# always the whole old or the whole new content.
#
#   fault_injection.sh TOOL ACCOUNT_DIR CUPS_SOCKET WORK_DIR
#
# For each scenario a clean run under strace lists the calls that touch the
# account directory (by path, or by a descriptor opened there) and numbers
# them per system call; a run is then repeated with strace injecting an error,
# or SIGKILL, at exactly that call. Exits 77 (skipped) when strace cannot run.
set -u
. "$(dirname "$0")/lib.sh"

tool=$1 dir=$2 socket=$3 work=$4
calls=openat,read,write,fsync,lseek,rename,renameat,renameat2,unlink,unlinkat,close,flock,fcntl,fchmod,fchown,newfstatat,linkat,ftruncate
export CUPS_SERVER=$socket HOME=$work/home ASAN_OPTIONS=detect_leaks=0:${ASAN_OPTIONS:-}

skip() { echo "fault injection skipped: $*"; exit 77; }
command -v strace >/dev/null || skip "strace is not installed"
[ "$(id -u)" -eq 0 ] || skip "needs root (the status file is root's)"
strace -qq -o /dev/null true 2>/dev/null || skip "strace cannot trace here (ptrace not permitted)"

rm -rf "$work" && mkdir -p "$work/home"
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

# name | option | queue | files | their old contents | other acceptable contents | input
# (files and contents as lists; "-" where no other content is acceptable)
scenarios=(
  "credential set|-pu|lp2|root.conf|conf_old|-|carol\nn3w-pass\n"
  "credential remove|-x|lp1|root.conf|conf_old|conf_removed_keeping_tags|"
  "status|-eu|lp2|status|status_old|-|"
  "forget|--forget|office|status root.conf nobody.conf|status_old conf_old conf_old|- - -|"
  "batch|--batch||root.conf nobody.conf|conf_old conf_old|- -|$batch_input"
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
    write | fsync) echo ENOSPC EIO ;;
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

run_tool() {  # strace options..., then: -- option printer input (printer may be "")
  local input=${*: -1} printer=${*: -2:1} option=${*: -3:1}
  local words=("$option")
  [ -z "$printer" ] || words+=("$printer")
  # A subshell, so that the shell's report of a killed job stays quiet.
  ( printf "$input" | strace -qq -o /dev/null -e trace=$calls "${@:1:$#-4}" \
      "$tool" "${words[@]}" >/dev/null 2>"$work/stderr" ) 2>/dev/null
  local rc=$?
  drop_counts "$work/stderr"
  return $rc
}

# --batch ends with its count of records; what is checked is the rest.
drop_counts() {
  sed -i -E '/^velmora-account: [0-9]+ changed, [0-9]+ unchanged, [0-9]+ refused$/d' "$@"
}

for scenario in "${scenarios[@]}"; do
  IFS='|' read -r name option printer files makers others input <<< "$scenario"
  first=${files%% *}
  prepare "$files" "$makers"
  contents old "$files"
  other=()
  for maker in $others; do other+=("$([ "$maker" = - ] || "$maker"; echo .)"); done
  run_tool -o "$work/trace" -- "$option" "$printer" "$input" ||
    fail "$name: the clean run failed: $(cat "$work/trace" | tail -n 2)"
  contents new "$files"
  [ "${new[*]}" != "${old[*]}" ] || fail "$name: the clean run changed nothing"
  # Each file that changed was written once: one rename onto its name.
  changed=0
  for i in "${!new[@]}"; do [ "${new[$i]}" = "${old[$i]}" ] || changed=$((changed + 1)); done
  renames=$(grep -c 'rename.*\.new"' "$work/trace")
  [ "$renames" = "$changed" ] || fail "$name: $renames renames for $changed changed files"
  mapfile -t points < <(account_calls "$work/trace")
  [ ${#points[@]} -gt 5 ] || fail "$name: only ${#points[@]} calls found on $dir"

  for point in "${points[@]}"; do
    read -r syscall when <<< "$point"
    for error in $(errors_for "$syscall") KILL; do
      prepare "$files" "$makers"
      if [ "$error" = KILL ]; then
        inject="inject=$syscall:signal=KILL:when=$when"
        killed=$((killed + 1))
      else
        inject="inject=$syscall:error=$error:when=$when"
        injected=$((injected + 1))
      fi
      run_tool -e "$inject" -- "$option" "$printer" "$input"
      rc=$?
      what="$name, $syscall #$when, $error"
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
        continue
      fi
      leftovers=$(cd "$dir" && ls -- *.new 2>/dev/null)
      if [ "$error" = KILL ]; then
        # A replacement file left by the killed run is taken over by the
        # next one, which says so and finishes the update.
        [ -n "$leftovers" ] && recovered=$((recovered + 1))
        run_tool -- "$option" "$printer" "$input" || fail "$what: the run after the kill failed: $(cat "$work/stderr")"
        said=
        for leftover in $leftovers; do said+="velmora-account: took over $dir/$leftover, left by an interrupted update"; done
        [ "$(cat "$work/stderr")" = "$said" ] || fail "$what: the run after the kill said '$(cat "$work/stderr")'"
        [ -z "$(cd "$dir" && ls -- *.new 2>/dev/null)" ] ||
          fail "$what: a replacement file outlived the run after the kill"
        contents now "$files"
        [ "${now[*]}" = "${new[*]}" ] || fail "$what: the run after the kill did not finish the update"
        continue
      fi
      [ -n "$leftovers" ] && fail "$what: a replacement file was left behind"
      lines=$(wc -l < "$work/stderr")
      if [ $stayed = yes ] && { [ $rc -ne 1 ] || [ "$lines" -ne 1 ]; }; then
        fail "$what: not updated, but exit $rc with $lines lines of message"
      fi
      if [ $rc -ne 0 ] && ! grep -q "^velmora-account: " "$work/stderr"; then
        fail "$what: exit $rc without a message"
      fi
    done
  done
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
    run_tool -e "inject=$syscall:error=EIO:when=$when" -- "$option" "$printer" "$input"
    kill $holder
    wait $holder 2>/dev/null
    [ "$(cat "$dir/$first.new")" = "held by another run" ] || fail "$name: another run's replacement file was touched"
    [ "$(cat "$dir/$first"; echo .)" = "${old[0]}" ] || fail "$name: changed while another run held the file"
  done

  # A run's first instant: held up on its way to the lock, its replacement
  # file must be nowhere to be seen, so that no other run calls it a
  # leftover or takes it over.
  prepare "$files" "$makers"
  words=("$option")
  [ -z "$printer" ] || words+=("$printer")
  ( printf "$input" | strace -qq -o /dev/null -e trace=flock -e inject=flock:delay_enter=2000000 \
      "$tool" "${words[@]}" >/dev/null 2>"$work/slow.err"; echo $? > "$work/slow.rc" ) &
  sleep 0.5
  printf "$input" | "$tool" "${words[@]}" >/dev/null 2>"$work/quick.err"
  quick=$?
  wait
  drop_counts "$work/quick.err" "$work/slow.err"
  [ $quick = 0 ] && [ "$(cat "$work/slow.rc")" = 0 ] && [ ! -s "$work/quick.err" ] && [ ! -s "$work/slow.err" ] ||
    fail "$name: two runs, one held up before its lock: $quick '$(cat "$work/quick.err")', $(cat "$work/slow.rc") '$(cat "$work/slow.err")'"
done

echo "$injected failures injected, $killed kill points ($recovered leftovers taken over)"
finish "fault injection"
