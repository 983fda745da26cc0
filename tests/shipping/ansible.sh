#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Ansible collection in contrib/ansible, installed as the README says and
# run by Debian's ansible-core against localhost, with the test build of the
# tool and the private scheduler (queues lp1 and lp2): check mode writes
# nothing, a first run changes, a second does not, a refused record fails its
# task with the tool's own reason, and no value shows in any output at -vvv.
#
#   ansible.sh SOURCE_DIR CUPS_SOCKET TOOL_DIR ACCOUNT_DIR WORK_DIR
set -u
. "$(dirname "$0")/../lib.sh"
src=$1 socket=$2 tools=$3 accounts=$4 work=$5
skip() { echo "ansible skipped: $*"; exit 77; }
command -v ansible-playbook >/dev/null || skip "ansible-core is not installed (scripts/install-deps)"
[ "$(id -u)" -eq 0 ] || skip "needs root (a task acts for another account)"
rm -rf "$work" && mkdir -p "$work/home" && cd "$work" || exit 1
mkdir -p "$accounts" && find "$accounts" -mindepth 1 -delete
export HOME=$work/home ANSIBLE_COLLECTIONS_PATH=$work/collections ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp \
  ANSIBLE_PYTHON_INTERPRETER=auto_silent ANSIBLE_LOCALHOST_WARNING=false ANSIBLE_NOCOLOR=1
ansible-galaxy collection install "$src/contrib/ansible" >/dev/null 2>&1 || fail "the collection did not install"
doc=$(ansible-doc velmora.account.velmora_account 2>&1) || fail "ansible-doc failed: $doc"
for word in "= queue" "= kind" "- password" "EXAMPLES:" "RETURN VALUES:"; do
  [[ $doc == *"$word"* ]] || fail "ansible-doc shows no '$word'"
done

# Values no output may hold, each unlike anything else Ansible prints.
ja_id=Qz7Kx4w ja_pin=Jb3Vq9y ua_id=ua-Wm5Pd2Lr ua_password=pw-Hn8Tc6Ys long_id=$(printf 'Lg4Zr%.0s' {1..8})
values=("$ja_id" "$ja_pin" "$ua_id" "$ua_password" "$long_id")
# Refused: an ID longer than job accounting holds, and a queue CUPS lacks;
# the tasks must fail with what the tool itself says of these records.
reasons=$(printf '{"queue":"%s","kind":"job-accounting","id":"%s","password":"%s"}\n' \
  lp1 "$long_id" "$ja_pin" no-such-queue "$ja_id" "$ja_pin" |
  CUPS_SERVER=$socket "$tools/velmora-account" --batch |
  python3 -c 'import json, sys; print(json.dumps([json.loads(l).get("reason") for l in sys.stdin]))')
cat > vars.json <<VARS
{"tool": "$tools/velmora-account", "socket": "$socket", "ja_id": "$ja_id", "ja_pin": "$ja_pin",
 "ua_id": "$ua_id", "ua_password": "$ua_password", "long_id": "$long_id", "reasons": ${reasons:-null}}
VARS
cat > play.yml <<'PLAY'
- hosts: localhost
  connection: local
  gather_facts: false
  environment: {CUPS_SERVER: "{{ socket }}"}
  module_defaults:
    velmora.account.velmora_account: {executable: "{{ tool }}"}
  tasks:
    - tags: store
      block:
        - velmora.account.velmora_account: {queue: lp1, kind: job-accounting, id: "{{ ja_id }}", password: "{{ ja_pin }}"}
        - velmora.account.velmora_account:
            {user: nobody, queue: lp2, kind: user-authentication, id: "{{ ua_id }}", password: "{{ ua_password }}"}
        - velmora.account.velmora_account: {queue: lp2, kind: secured-print, state: absent}
    - tags: refuse
      ignore_errors: true
      block:
        - velmora.account.velmora_account: {queue: lp1, kind: job-accounting, id: "{{ long_id }}", password: "{{ ja_pin }}"}
          register: too_long
        - velmora.account.velmora_account: {queue: no-such-queue, kind: job-accounting, id: "{{ ja_id }}", password: "{{ ja_pin }}"}
          register: unknown
        - assert: {that: "too_long is failed and unknown is failed and [too_long.msg, unknown.msg] == reasons"}
          ignore_errors: false
PLAY

play() {  # name, the counts its recap must show, ansible-playbook options: output in NAME.out
  local name=$1 counts=$2 line count value
  shift 2
  ansible-playbook -vvv -i localhost, -e @vars.json "$@" play.yml > "$name.out" 2>&1
  line=" $(grep -A1 '^PLAY RECAP' "$name.out" | tail -n 1 | tr -s ' ') "
  for count in $counts; do
    [[ $line == *" $count "* ]] || fail "$name: the recap is not $count:$line(see $work/$name.out)"
  done
  for value in "${values[@]}"; do
    ! grep -qF -- "$value" "$name.out" || fail "$name: a value shows in the -vvv output"
  done
  # Ansible masks a value a module returns; only the echo of the arguments may be masked.
  ! grep -E 'VALUE_[A-Z]+_IN_NO_LOG_PARAMETER|(^|[^*])[*]{8}([^*]|$)' "$name.out" |
    grep -qvE '^ *"(id|password)": "VALUE_[A-Z]+_IN_NO_LOG_PARAMETER",?$' || fail "$name: a value was returned (masked)"
}
snapshot() { find "$accounts" -type f -exec sha256sum {} + | sort > "$1.sum"; }
unchanged() { snapshot "$2" && cmp -s "$1.sum" "$2.sum" || fail "$2: the account files changed"; }

# Secured print stored beforehand, for the task that removes it.
printf 'sp-user\n4321\n' | CUPS_SERVER=$socket "$tools/velmora-account" -ps lp2 >/dev/null || fail "seeding failed"
snapshot seeded
play check "changed=3 failed=0" --tags store --check
unchanged seeded check
play first "changed=3 failed=0" --tags store
grep -qsx "id=$ja_id" "$accounts/root.conf" || fail "first: root's job accounting ID is not stored"
grep -qs '^s_' "$accounts/root.conf" && fail "first: root's secured print is still stored"
grep -qsx "u_id=$(printf %s "$ua_id" | base64)" "$accounts/nobody.conf" || fail "first: nobody's user name is not stored"
snapshot first
play second "changed=0 failed=0" --tags store
unchanged first second
play refuse "changed=0 failed=0 ignored=2" --tags refuse
unchanged first refuse
finish ansible
