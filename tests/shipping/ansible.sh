#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Ansible collection in contrib/ansible, installed as the README says and
# run by Debian's ansible-core against localhost, with the test build of the
# tool and a scheduler of its own (queues lp1, lp2 and bulk01..10): check mode writes nothing, a first run changes, a second does not, a
# refused record fails its task with the tool's own reason, an unquoted YAML
# number or boolean fails before anything is run, 150 records go in one task
# with an answer each that names its user and queue (IDs equal to them
# included), and no password shows in any output at -vvv.
#
#   ansible.sh SOURCE_DIR TOOL_DIR ACCOUNT_DIR WORK_DIR
set -u
. "$(dirname "$0")/../support/lib.sh"
src=$1 tools=$2 accounts=$3 work=$4
skip() { echo "ansible skipped: $*"; exit 77; }
command -v ansible-playbook >/dev/null || skip "ansible-core is not installed (scripts/install-deps)"
need_root ansible "a task acts for another account"
rm -rf "$work" && mkdir -p "$work/home" && cd "$work" || exit 1
account_dir_ready "$accounts"
export HOME=$work/home ANSIBLE_COLLECTIONS_PATH=$work/collections ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp \
  ANSIBLE_PYTHON_INTERPRETER=auto_silent ANSIBLE_LOCALHOST_WARNING=false ANSIBLE_NOCOLOR=1
ansible-galaxy collection install "$src/contrib/ansible" >/dev/null 2>&1 || fail "the collection did not install"
doc=$(ansible-doc velmora.account.velmora_account 2>&1) || fail "ansible-doc failed: $doc"
for word in "- credentials" "= queue" "= kind" "- password" "EXAMPLES:" "RETURN VALUES:"; do
  [[ $doc == *"$word"* ]] || fail "ansible-doc shows no '$word'"
done

# Passwords no output may hold, each unlike anything else Ansible prints; an
# ID is no secret, and one equal to the user name must not mask it.
ja_id=Qz7Kx4w ja_pin=Jb3Vq9y ua_id=nobody ua_password=pw-Hn8Tc6Ys long_id=$(printf 'Lg4Zr%.0s' {1..8})
# 150 records for five accounts and ten queues of their own; the user names
# and queues are also IDs, which must not mask them in the answers.
python3 - > bulk.json <<'BULK'
import json
users, kinds = ["root", "nobody", "daemon", "bin", "sys"], ["job-accounting", "user-authentication", "secured-print"]
bulk = [dict(user=users[i % 5], kind=kinds[i // 5 % 3], queue="bulk%02d" % (i // 15 + 1), password="Zq%03dv" % i)
        for i in range(150)]
for i, r in enumerate(bulk):
    r["id"] = {"job-accounting": "b%03d" % i, "user-authentication": r["user"], "secured-print": r["queue"]}[r["kind"]]
print(json.dumps({"bulk": bulk}))
BULK
{ printf '%s\n' "$ja_pin" "$ua_password"; python3 -c 'import json
print("\n".join(r["password"] for r in json.load(open("bulk.json"))["bulk"]))'; } > passwords
own_scheduler "$work/cups" lp1 lp2 $(seq -f 'bulk%02g' 10)
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
        - velmora.account.velmora_account:
            credentials:
              - {queue: lp1, kind: job-accounting, id: "{{ long_id }}", password: "{{ ja_pin }}"}
              - {queue: no-such-queue, kind: job-accounting, id: "{{ ja_id }}", password: "{{ ja_pin }}"}
          register: listed
        - assert:
            that: ["too_long is failed and unknown is failed and [too_long.msg, unknown.msg] == reasons",
                   "listed is failed and listed.results | map(attribute='reason') | list == reasons"]
          ignore_errors: false
    - tags: quote
      ignore_errors: true
      block:
        - velmora.account.velmora_account: {queue: lp1, kind: job-accounting, id: 0012345, password: 0042}
          register: number
        - velmora.account.velmora_account:
            credentials:
              - {queue: lp1, kind: job-accounting, id: "7", password: "Vx5Mr2k"}
              - {user: nobody, queue: lp2, kind: secured-print, id: sp, password: yes}
          register: boolean
        - assert:
            that: ["number is failed and 'id is a number; password is a number' in number.msg",
                   "boolean is failed and 'credentials[1].password is a boolean' in boolean.msg",
                   "'quote it' in number.msg and 'quote it' in boolean.msg"]
          ignore_errors: false
    - tags: bulk
      block:
        - velmora.account.velmora_account: {credentials: "{{ bulk }}"}
          register: stored
        - assert:
            that: ["stored.results | map(attribute='result') | unique == [expect]",
                   "stored.results | map(attribute='user') | list == bulk | map(attribute='user') | list",
                   "stored.results | map(attribute='queue') | list == bulk | map(attribute='queue') | list"]
PLAY

play() {  # name, the counts its recap must show, ansible-playbook options: output in NAME.out
  local name=$1 counts=$2 line count
  shift 2
  plays=$((plays + 1))
  echo "ansible: $plays of 8 plays ($name)"
  ansible-playbook -vvv -i localhost, -e @vars.json -e @bulk.json "$@" play.yml > "$name.out" 2>&1
  line=" $(grep -A1 '^PLAY RECAP' "$name.out" | tail -n 1 | tr -s ' ') "
  for count in $counts; do
    [[ $line == *" $count "* ]] || fail "$name: the recap is not $count:$line(see $work/$name.out)"
  done
  ! grep -qFf passwords "$name.out" || fail "$name: a password shows in the -vvv output"
  # Ansible masks a password a module returns; only the echo of the arguments may be masked
  # (an unquoted ID too, when its number holds the password's: 5349 and 34).
  ! grep -E 'VALUE_[A-Z]+_IN_NO_LOG_PARAMETER|(^|[^*])[*]{8}([^*]|$)' "$name.out" |
    grep -qvE '^ *"(id|password)": "VALUE_[A-Z]+_IN_NO_LOG_PARAMETER",?$' || fail "$name: a password was returned (masked)"
}
plays=0
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
play refuse "changed=0 failed=0 ignored=3" --tags refuse
unchanged first refuse
play quote "changed=0 failed=0 ignored=2" --tags quote
unchanged first quote
play bulk-check "changed=1 failed=0" --tags bulk --check -e expect=changed
unchanged first bulk-check
play bulk "changed=1 failed=0" --tags bulk -e expect=changed
for user in root nobody daemon bin sys; do  # ten queues, each with the user's name as its user authentication ID
  [ "$(sed -n '/^<bulk/,/^<\/bulk/p' "$accounts/$user.conf" | grep -cx "u_id=$(printf %s "$user" | base64)")" = 10 ] ||
    fail "bulk: $user's records are not stored"
done
snapshot bulk
play bulk-again "changed=0 failed=0" --tags bulk -e expect=unchanged
unchanged bulk bulk-again
finish ansible
