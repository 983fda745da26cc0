#!/usr/bin/python
# SPDX-License-Identifier: Apache-2.0
# One credential in one user's velmora-account file, through the tool's
# --batch mode: the values travel on its standard input only, and only the
# tool's verdict (changed, unchanged, refused and why) comes back.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: velmora_account
short_description: Store or remove a printer credential with velmora-account
version_added: "1.3.0"
description:
  - Stores or removes one credential (job accounting ID and PIN, user
    authentication user name and password, or secured print user name and
    password) for one print queue in a user's credential file, by running
    C(velmora-account --batch) with one record on its standard input.
  - The tool checks the record exactly as a typed value (the queue must be
    known to CUPS, the same length limits) and rewrites the file only when
    something differs, so a second run reports no change.
  - In check mode the tool runs with C(--dry-run) and reports what would
    change without writing anything.
  - The ID and password are never put on a command line, in the result, in a
    diff or in a log; the result holds only the tool's verdict.
options:
  user:
    description:
      - Local account whose credential file is changed.
      - Omitted, the file of the account the module runs as.
      - Naming another account needs root (C(become)).
    type: str
  queue:
    description:
      - Name of the CUPS print queue the credential is for.
      - CUPS must know it when I(state=present).
    type: str
    required: true
  kind:
    description:
      - Which credential of the queue.
      - C(job-accounting) is an ID and a PIN of at most 7 bytes each;
        C(user-authentication) a user name and a password of at most 32 bytes
        each; C(secured-print) a user name of at most 32 bytes and a password
        of at most 7.
    type: str
    required: true
    choices: [job-accounting, user-authentication, secured-print]
  id:
    description:
      - The job accounting ID, or the user name of the other kinds.
      - Required when I(state=present); not used when I(state=absent).
    type: str
  password:
    description:
      - The job accounting PIN, or the password of the other kinds.
      - Required when I(state=present); not used when I(state=absent).
    type: str
  state:
    description:
      - C(present) stores the values, C(absent) removes this kind of
        credential for the queue.
    type: str
    choices: [present, absent]
    default: present
  executable:
    description:
      - Path of the velmora-account command, or a name looked up in C(PATH).
    type: path
    default: velmora-account
attributes:
  check_mode:
    description: Can run in check mode and return changed status prediction without modifying target.
    support: full
  diff_mode:
    description: Will return details on what has changed (or possibly needs changing in check mode), when in diff mode.
    support: none
notes:
  - The values are passed on the tool's standard input; the result, the
    diff and the module log never hold them, even with C(-vvv).
  - A CUPS scheduler other than the host's default is chosen with the
    C(CUPS_SERVER) environment variable (the task's C(environment)).
  - A record the tool refuses fails the task with the tool's reason.
requirements:
  - velmora-account 1.3.0 or later (the C(--batch) mode) on the managed host
author:
  - velmora-account maintainers
"""

EXAMPLES = r"""
- name: Hand out a job accounting ID
  velmora.account.velmora_account:
    user: alice
    queue: office
    kind: job-accounting
    id: "{{ alice_accounting_id }}"
    password: "{{ alice_accounting_pin }}"
  become: true

- name: The queue's user authentication for the account Ansible runs as
  velmora.account.velmora_account:
    queue: lab
    kind: user-authentication
    id: "{{ lab_user }}"
    password: "{{ lab_password }}"

- name: Secured print no longer used on this queue
  velmora.account.velmora_account:
    user: bob
    queue: hall
    kind: secured-print
    state: absent
  become: true

- name: A scheduler of its own
  velmora.account.velmora_account:
    queue: office
    kind: job-accounting
    id: "{{ accounting_id }}"
    password: "{{ accounting_pin }}"
  environment:
    CUPS_SERVER: /run/cups/cups.sock
"""

RETURN = r"""
user:
  description: The account whose credential file the tool acted on.
  returned: success, and when the tool refuses the record
  type: str
  sample: alice
queue:
  description: The print queue, as given.
  returned: success, and when the tool refuses the record
  type: str
  sample: office
kind:
  description: The kind of credential, as given.
  returned: success, and when the tool refuses the record
  type: str
  sample: job-accounting
result:
  description:
    - The tool's answer, C(changed) or C(unchanged) (in check mode, what
      a run would do), or C(refused) when the task fails on the tool's
      reason. No value and no length is ever returned.
  returned: success, and when the tool refuses the record
  type: str
  sample: changed
"""

import json

from ansible.module_utils.basic import AnsibleModule

KINDS = ["job-accounting", "user-authentication", "secured-print"]


def run_record(module, executable, record):
    """Feeds one record to --batch; returns the tool's answer or fails."""
    command = [executable, "--batch"]
    if module.check_mode:
        command.append("--dry-run")
    # The values go on standard input only: a command line is visible to
    # every user of the host.
    rc, out, err = module.run_command(command, data=json.dumps(record))
    lines = [line for line in out.splitlines() if line.strip()]
    answer = None
    if len(lines) == 1:
        try:
            answer = json.loads(lines[0])
        except ValueError:
            answer = None
    if not isinstance(answer, dict) or answer.get("result") not in ("changed", "unchanged", "refused"):
        # Not an answer: a usage error, a tool without --batch, a crash.
        # Its standard error is one of its own messages, which never
        # carry a value.
        message = err.strip() or "no answer on standard output"
        module.fail_json(msg="%s --batch failed (status %d): %s" % (executable, rc, message), rc=rc)
    if answer["result"] == "refused":
        module.fail_json(msg=answer.get("reason") or "refused", rc=rc, result="refused",
                         user=answer.get("user"), queue=record["queue"], kind=record["kind"])
    if rc != 0:
        module.fail_json(msg="%s --batch exited with status %d but did not refuse the record" % (executable, rc),
                         rc=rc)
    return answer


def main():
    module = AnsibleModule(
        dict(
            user=dict(type="str"),
            queue=dict(type="str", required=True),
            kind=dict(type="str", required=True, choices=KINDS),
            id=dict(type="str", no_log=True),
            password=dict(type="str", no_log=True),
            state=dict(type="str", default="present", choices=["present", "absent"]),
            executable=dict(type="path", default="velmora-account"),
        ),
        required_if=[("state", "present", ("id", "password"))],
        supports_check_mode=True,
    )
    params = module.params

    executable = params["executable"]
    if "/" not in executable:
        executable = module.get_bin_path(executable, required=True)

    record = {"queue": params["queue"], "kind": params["kind"], "state": params["state"]}
    if params["user"] is not None:
        record["user"] = params["user"]
    if params["state"] == "present":
        record["id"] = params["id"]
        record["password"] = params["password"]

    answer = run_record(module, executable, record)
    module.exit_json(changed=answer["result"] == "changed", result=answer["result"],
                     user=answer.get("user", params["user"]), queue=params["queue"], kind=params["kind"])


if __name__ == "__main__":
    main()
