#!/usr/bin/python
# SPDX-License-Identifier: Apache-2.0
# Credentials in users' velmora-account files, one or a host's worth per
# task, through one run of the tool's --batch mode: the values travel on its
# standard input only, and only the tool's verdict on each record (changed,
# unchanged, refused and why) comes back.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: velmora_account
short_description: Store or remove printer credentials with velmora-account
version_added: "1.3.0"
description:
  - Stores or removes credentials (job accounting ID and PIN, user
    authentication user name and password, or secured print user name and
    password) for print queues in users' credential files, by running
    C(velmora-account --batch) once with the records on its standard input.
  - One credential is given by I(queue), I(kind) and the options beside
    them; many, a whole host's say, by I(credentials), in one task and one
    run of the tool.
  - The tool checks each record exactly as a typed value (the queue must be
    known to CUPS, the same length limits) and rewrites a file only when
    something differs, so a second run reports no change.
  - In check mode the tool runs with C(--dry-run) and reports what would
    change without writing anything.
  - The passwords are never put on a command line, in the result, in a diff
    or in a log; the result holds only the tool's verdict on each record.
options:
  credentials:
    description:
      - Many credentials in one task, each a record with the options
        I(user), I(queue), I(kind), I(id), I(password) and I(state), all as
        for one credential; I(results) answers each record in order, and
        the task is C(changed) when any record changed.
      - Prefer it to a C(loop:) over this module. Ansible prints each loop
        item, the password in it included, on the task's result line
        whatever the module hides, since the item is the playbook's own
        variable and not a module argument (and with C(-v) the whole item
        once more in the result); C(loop_control.label) hides it at the
        default verbosity only, and C(no_log) on the task also hides why
        the tool refused a record. A loop also runs the tool once per item.
      - Every record is checked before anything is written. A refused record
        fails the task with the tool's reason; its credential file is then
        left as it was, while the records of other files are still stored
        (each file is wholly updated or untouched), so a failed task may be
        C(changed) too, as I(results) tells.
      - Two records for the same user, queue and kind are both refused as
        ambiguous. At most 100,000 records in one task.
      - Cannot be used with the options of one credential.
    type: list
    elements: dict
    suboptions:
      user:
        description: As I(user) for one credential.
        type: str
      queue:
        description: As I(queue) for one credential.
        type: str
        required: true
      kind:
        description: As I(kind) for one credential.
        type: str
        required: true
        choices: [job-accounting, user-authentication, secured-print]
      id:
        description: As I(id) for one credential.
        type: str
      password:
        description: As I(password) for one credential.
        type: str
      state:
        description: As I(state) for one credential.
        type: str
        choices: [present, absent]
        default: present
  user:
    description:
      - Local account whose credential file is changed.
      - Omitted, the file of the account the module runs as.
      - Naming another account needs root (C(become)).
      - A string only, as for I(id).
    type: str
  queue:
    description:
      - Name of the CUPS print queue the credential is for.
      - CUPS must know it when I(state=present).
      - Required for one credential, with I(kind).
      - A string only, as for I(id).
    type: str
  kind:
    description:
      - Which credential of the queue.
      - C(job-accounting) is an ID and a PIN of at most 7 bytes each;
        C(user-authentication) a user name and a password of at most 32 bytes
        each; C(secured-print) a user name of at most 32 bytes and a password
        of at most 7.
      - Required for one credential, with I(queue).
    type: str
    choices: [job-accounting, user-authentication, secured-print]
  id:
    description:
      - The job accounting ID, or the user name of the other kinds.
      - Required when I(state=present); not used when I(state=absent).
      - A string only. Quote it in the playbook when it looks like a number
        or a boolean. Unquoted, YAML reads C(0012345) as the number 5349
        (octal) and C(yes) as a boolean, which would store other text, so a
        number or a boolean fails the task before the tool runs.
      - Not secret to the tool, whose prompt echoes it, and not hidden by
        Ansible (a C(-vvv) run shows it among the arguments), since hiding
        it would mask every part of the result equal to it, such as the user
        name a user authentication ID often is.
    type: str
  password:
    description:
      - The job accounting PIN, or the password of the other kinds.
      - Required when I(state=present); not used when I(state=absent).
      - A string only, as for I(id). Ansible's templating also turns a value
        that reads exactly C(True) or C(False) into a boolean, so such a
        password is refused too.
      - Ansible masks every occurrence of a password in its output, so a
        result field holding one is masked (C(********)).
    type: str
  state:
    description:
      - C(present) stores the values, C(absent) removes this kind of
        credential for the queue.
      - Omitted, C(present).
    type: str
    choices: [present, absent]
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
    diff and the module log never hold a password, even with C(-vvv).
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

- name: Every credential of the host in one task (not a loop, which prints each item)
  velmora.account.velmora_account:
    credentials: "{{ printer_credentials }}"
  become: true
  register: stored
  # printer_credentials, from a vault, the values quoted:
  #   - {user: alice, queue: office, kind: job-accounting, id: "0012345", password: "0042"}
  #   - {user: bob, queue: lab, kind: user-authentication, id: bob, password: "s3cret"}
  #   - {user: carol, queue: hall, kind: secured-print, state: absent}

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
results:
  description:
    - The tool's answer to each record, in the order given (one for one
      credential). No value and no length is ever returned.
  returned: when the tool answered
  type: list
  elements: dict
  contains:
    user:
      description: The account whose credential file the record went to.
      type: str
      sample: alice
    queue:
      description: The print queue, as given.
      type: str
      sample: office
    kind:
      description: The kind of credential, as given.
      type: str
      sample: job-accounting
    result:
      description: C(changed) or C(unchanged) (in check mode, what a run
        would do), or C(refused).
      type: str
      sample: changed
    reason:
      description: Why the tool refused the record, in one line.
      type: str
      returned: when refused
      sample: "id: too long: at most 7 bytes can be stored"
user:
  description: For one credential, the account whose credential file the tool acted on.
  returned: when the tool answered, for one credential
  type: str
  sample: alice
queue:
  description: For one credential, the print queue, as given.
  returned: when the tool answered, for one credential
  type: str
  sample: office
kind:
  description: For one credential, the kind of credential, as given.
  returned: when the tool answered, for one credential
  type: str
  sample: job-accounting
result:
  description:
    - For one credential, the tool's answer, C(changed) or C(unchanged) (in
      check mode, what a run would do), or C(refused) when the task fails on
      the tool's reason.
  returned: when the tool answered, for one credential
  type: str
  sample: changed
rc:
  description: The tool's exit status, 0 when it refused no record.
  returned: when the tool answered
  type: int
  sample: 0
"""

import json

from ansible.module_utils.basic import AnsibleModule

KINDS = ["job-accounting", "user-authentication", "secured-print"]
STATES = ["present", "absent"]
# Typed raw and checked by hand: Ansible's str type would turn a YAML number
# into other digits (0042 into 34) and store them without a word.
TEXT_FIELDS = ("user", "queue", "id", "password")
YAML_TYPES = ((bool, "a boolean"), (int, "a number"), (float, "a number"), (list, "a list"), (dict, "a mapping"))
MASK = "VALUE_SPECIFIED_IN_NO_LOG_PARAMETER"


def record_spec(top_level):
    """The options of one record; at the top level none is required, as
    credentials may stand for them all."""
    return dict(
        user=dict(type="raw"),
        queue=dict(type="raw", required=not top_level),
        kind=dict(type="str", required=not top_level, choices=KINDS),
        # The ID is not secret to the tool (its prompt echoes it); masking
        # it would mask every result equal to it, a user name above all.
        id=dict(type="raw", no_log=False),
        password=dict(type="raw", no_log=True),
        state=dict(type="str", default=None if top_level else "present", choices=STATES),
    )


def check_records(module, records, names):
    """Fails before anything runs when a record lacks its values or holds
    something other than a string where text belongs."""
    wrong, missing = [], []
    for record, name in zip(records, names):
        for field in TEXT_FIELDS:
            value = record.get(field)
            if value is None:
                if field in ("id", "password") and record["state"] == "present":
                    missing.append(name + field)
                continue
            if not isinstance(value, str):
                what = next((text for kind, text in YAML_TYPES if isinstance(value, kind)), type(value).__name__)
                wrong.append("%s%s is %s" % (name, field, what))
    if missing:
        module.fail_json(msg="state=present needs id and password: missing %s; nothing was run" % ", ".join(missing))
    if wrong:
        # A boolean is no no_log value to Ansible: keep it out of the echo.
        shown = json.loads(json.dumps(module.params))
        for record in [shown] + (shown.get("credentials") or []):
            if record.get("password") is not None:
                record["password"] = MASK
        module.fail_json(msg="%s, not a string: quote it in the playbook. Unquoted, YAML reads digits as a number "
                             "(dropping leading zeros, or as octal) and yes, no, on, off, true, false as a boolean, "
                             "which would store other text; nothing was run" % "; ".join(wrong),
                         invocation={"module_args": shown})


def run_batch(module, executable, records):
    """Feeds the records to one --batch run; returns its answers, one per
    record in order, or fails when the tool gave no such answer."""
    command = [executable, "--batch"]
    if module.check_mode:
        command.append("--dry-run")
    lines = []
    for record in records:
        fields = dict((key, record[key]) for key in ("user", "queue", "kind", "state") if record[key] is not None)
        if record["state"] == "present":
            fields.update(id=record["id"], password=record["password"])
        lines.append(json.dumps(fields))
    # The values go on standard input only: a command line is visible to
    # every user of the host.
    rc, out, err = module.run_command(command, data="\n".join(lines))
    answers = []
    for line in out.splitlines():
        try:
            answers.append(json.loads(line))
        except ValueError:
            answers.append(None)
    if len(answers) != len(records) or not all(
            isinstance(answer, dict) and answer.get("line") == number and
            answer.get("result") in ("changed", "would change", "would remove", "unchanged", "refused")
            for number, answer in enumerate(answers, 1)):
        # Not its answer: a usage error, a tool without --batch, a crash.
        # Its standard error is one of its own messages, which never carry
        # a value.
        message = err.strip() or "no answer for each record on standard output"
        module.fail_json(msg="%s --batch failed (status %d): %s" % (executable, rc, message), rc=rc)
    return rc, answers


def main():
    options = record_spec(top_level=True)
    options.update(
        credentials=dict(type="list", elements="dict", options=record_spec(top_level=False)),
        executable=dict(type="path", default="velmora-account"),
    )
    module = AnsibleModule(
        options,
        mutually_exclusive=[("credentials", option) for option in record_spec(True)],
        required_one_of=[("queue", "credentials")],
        required_together=[("queue", "kind")],
        supports_check_mode=True,
    )
    params = module.params
    single = params["credentials"] is None
    if single:
        records = [dict((key, params[key]) for key in record_spec(True))]
        records[0]["state"] = records[0]["state"] or "present"
        names = [""]
    else:
        records = params["credentials"]
        names = ["credentials[%d]." % index for index in range(len(records))]
    check_records(module, records, names)

    if not records:
        module.exit_json(changed=False, results=[])
    executable = params["executable"]
    if "/" not in executable:
        executable = module.get_bin_path(executable, required=True)
    rc, answers = run_batch(module, executable, records)

    results = []
    for answer in answers:
        result = dict((key, answer.get(key)) for key in ("user", "queue", "kind", "result"))
        # A dry run (check mode) says "would change" or "would remove": the
        # task reports it as Ansible's check mode does, as changed.
        if result["result"] in ("would change", "would remove"):
            result["result"] = "changed"
        if answer["result"] == "refused":
            result["reason"] = answer.get("reason") or "refused"
        results.append(result)
    changed = any(result["result"] == "changed" for result in results)
    refused = [(index, result) for index, result in enumerate(results) if result["result"] == "refused"]
    out = dict(changed=changed, results=results, rc=rc)
    if single:
        out.update(results[0], queue=params["queue"], kind=params["kind"])
        out.pop("reason", None)
    if refused:
        if single:
            message = results[0]["reason"]
        else:
            message = "%d of %d records refused, see results: %s" % (len(refused), len(results), "; ".join(
                "credentials[%d] (%s, %s, %s): %s" % (index, result["user"], result["queue"], result["kind"],
                                                      result["reason"]) for index, result in refused[:3]))
        module.fail_json(msg=message, **out)
    if rc != 0:
        module.fail_json(msg="%s --batch exited with status %d but refused no record" % (executable, rc), **out)
    module.exit_json(**out)


if __name__ == "__main__":
    main()
