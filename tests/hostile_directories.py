#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Account directories as a hostile neighbour could leave them, made by a
seeded generator: file names and section names from every Unicode general
category, shell metacharacters and command payloads, invalid UTF-8; sparse,
huge, binary, unclosed and one-line-section files; FIFOs, links, directories
and dot names; beside the good files of root, nobody and a print name of
nobody's. Every root command runs on each directory, under a memory limit
and a deadline: it ends with status 0 or 1, never aborts, handles the good
files as it would alone, puts no raw control, blank or format character on
the terminal, and no command of the completion's (or its words) runs.

Each directory gets the account directory to itself: the test runs in a
mount namespace of its own with a fresh tmpfs (mode 1777, root's) over the
compiled-in path. Run as root.

  hostile_directories.py TOOL ACCOUNT_DIR CUPS_SOCKET COMPLETION WORK_DIR [--sanitized] [--shard=I/N]

Environment: VELMORA_HOSTILE_SEED (default 1), VELMORA_HOSTILE_DIRECTORIES
(how many, default 80; 20 under sanitizers; bench/hostile runs 1000), VELMORA_HOSTILE_ONLY=N (only
directory N, to reproduce one), VELMORA_HOSTILE_HEAVY_EVERY (every Nth
directory floods the account directory with 8 MiB files, default 100).
--sanitized: no address-space limit (the sanitizers reserve terabytes) and
no floods (memory is bounded in the plain build). --shard=I/N: only the
directories whose number leaves I when divided by N, so that N runs, each
with directories of its own, share the work.
A failing directory is kept as WORK_DIR/failed-N.tar (tar -xpf as root to
look at it); the last lines give the worst time and peak memory per command.
"""
import json, os, random, re, resource, shutil, signal, subprocess, sys, threading, time, unicodedata

if os.geteuid() != 0:
    print("hostile_directories: needs root (a tmpfs over the account directory, files of other users)")
    sys.exit(77)
TOOL, ACCOUNTS, SOCKET, COMPLETION, WORK = sys.argv[1:6]
SANITIZED = "--sanitized" in sys.argv[6:]
SHARD, SHARDS = next((tuple(map(int, a[8:].split("/"))) for a in sys.argv[6:] if a.startswith("--shard=")),
                     (0, 1))
def propagation():
    """How the mount namespace of our own is made: private, so that no mount
    of ours reaches another. A chroot's root is no mount point and cannot be
    made private; there the mounts around it must be private already."""
    if subprocess.run(["unshare", "-m", "--propagation", "private", "true"],
                      capture_output=True).returncode == 0:
        return "private"
    with open("/proc/self/mountinfo") as mounts:
        if any(" shared:" in line for line in mounts):
            print("hostile_directories: no private mount namespace can be made here")
            sys.exit(77)
    return "unchanged"


if os.environ.get("VELMORA_HOSTILE_INSIDE") != "1":  # into a mount namespace of our own
    os.environ["VELMORA_HOSTILE_INSIDE"] = "1"
    os.makedirs(ACCOUNTS, exist_ok=True)
    os.execvp("unshare", ["unshare", "-m", "--propagation", propagation(), sys.executable] + sys.argv)

SEED = int(os.environ.get("VELMORA_HOSTILE_SEED", "1"))
COUNT = int(os.environ.get("VELMORA_HOSTILE_DIRECTORIES", "20" if SANITIZED else "80"))
ONLY = os.environ.get("VELMORA_HOSTILE_ONLY")
HEAVY_EVERY = int(os.environ.get("VELMORA_HOSTILE_HEAVY_EVERY", "0" if SANITIZED else "100"))
MEMORY = 1536 << 20  # address space per command
DEADLINE = 30  # seconds per command; a run that passes never comes near it
MIB8 = 8 << 20
NEIGHBOUR, STRANGER = 1, 40001  # daemon, and a uid without an account
NOBODY = 65534

# ---- Names ------------------------------------------------------------------

# Code points of every general category (Cs as the bytes of a lone surrogate).
by_category = {}
for cp in range(0x80, 0x110000):
    by_category.setdefault(unicodedata.category(chr(cp)), []).append(cp)
by_category["Cc"] += list(range(0x20)) + [0x7F]
# Never shown raw: C0 and C1 controls, blanks but the space, line and
# paragraph separators, format characters, and what renders as nothing.
IGNORABLE = [(0xAD, 0xAD), (0x34F, 0x34F), (0x61C, 0x61C), (0x115F, 0x1160), (0x17B4, 0x17B5),
             (0x180B, 0x180F), (0x200B, 0x200F), (0x202A, 0x202E), (0x2060, 0x206F),
             (0x3164, 0x3164), (0xFE00, 0xFE0F), (0xFEFF, 0xFEFF), (0xFFA0, 0xFFA0),
             (0xFFF0, 0xFFF8), (0x1BCA0, 0x1BCA3), (0x1D173, 0x1D17A), (0xE0000, 0xE0FFF)]
unsafe = {cp for cat in ("Cc", "Zs", "Zl", "Zp", "Cf") for cp in by_category[cat]} - {0x20, 0x0A}
unsafe |= {cp for lo, hi in IGNORABLE for cp in range(lo, hi + 1)}
ranges = []
for cp in sorted(unsafe):
    if ranges and ranges[-1][1] == cp - 1:
        ranges[-1][1] = cp
    else:
        ranges.append([cp, cp])
UNSAFE = re.compile("[" + "".join(re.escape(chr(lo)) + "-" + re.escape(chr(hi)) for lo, hi in ranges) + "]")
SPOTLIGHT = [0xA0, 0x85, 0x9B, 0x1680, 0x2028, 0x2029, 0x202E, 0x2066, 0x200B, 0xFEFF, 0xAD,
             0x61C, 0x180E, 0x3000, 0xE0001, 0xFE0F, 0x115F, 0x3164, 0x1D173]
META = list("'\"\\`$!*?[]~#;|&<>() =%^") + ["{a,b}", "${IFS}", "$((1))", "\\'", "$'\\x27'"]
PAYLOADS = ["$(touch${IFS}pwned)", "`touch pwned`", "x'$(id|tee${IFS}pwned) ", "$(id>pwned)",
            ";touch pwned;", '"$(touch pwned)"', "'\\''$(touch pwned)'", "a$'\\x27'$(touch pwned)",
            "$(touch pwned)'", "\\$(touch pwned)", "&&touch pwned", "|touch${IFS}pwned"]
INVALID = [b"\x80", b"\xc0\x80", b"\xc3", b"\xed\xa0\x80", b"\xf5\x80\x80\x80", b"\xfe", b"\xe2\x80",
           b"\xf0\x9f\x98", b"\x9b", b"\xff"]
CONTROL = [b"\x1b[2J", b"\x1b]0;owned\x07", b"\r", b"\t", b"\x07", b"\x08", b"\x7f", b"\n", b"\x00"]


def utf8(cp):
    return chr(cp).encode("utf-8", "surrogatepass")


def name(rng, forbidden=b""):
    """A name of 1-6 pieces; bytes in forbidden are left out."""
    out = b""
    for _ in range(rng.randint(1, 6)):
        kind = rng.randrange(8)
        if kind == 0:
            piece = "".join(rng.choices("abcdefghijklmnopqrstuvwxyzLP0123456789_.-", k=rng.randint(1, 8))).encode()
        elif kind == 1:
            piece = utf8(rng.choice(by_category[rng.choice(sorted(by_category))]))
        elif kind == 2:
            piece = utf8(rng.choice(SPOTLIGHT))
        elif kind == 3:
            piece = rng.choice(META).encode()
        elif kind == 4:
            piece = rng.choice(PAYLOADS).encode()
        elif kind == 5:
            piece = rng.choice(INVALID)
        elif kind == 6:
            piece = rng.choice(CONTROL)
        else:
            piece = "".join(chr(rng.choice(by_category[c])) for c in rng.sample(sorted(by_category), 3)
                            if c != "Cs").encode()
        out += bytes(b for b in piece if b not in forbidden)
    return out or b"q"


def offerable(section):
    """Whether a section name is one --forget can be asked for (and so offered)."""
    return (0 < len(section) <= 500 and not section.startswith(b"/") and b"\0" not in section
            and not any(c in section for c in b"<>\n\r\xff") and section.lower() not in (b"lp1", b"lp2"))


# ---- Directories ------------------------------------------------------------

GOOD = {  # name: (owner, mode, bytes)
    "root.conf": (0, 0o600, b"<lp1>\nid=1111111\npassword=0042\n</lp1>\n<gone>\nid=2\npassword=3\n</gone>\n"),
    "nobody.conf": (NOBODY, 0o600, b"<lp2>\nu_id=YWxpY2U=\nu_password=c2VjcmV0\n</lp2>\n"
                                   b"<gone>\ns_id=YQ==\ns_password=YQ==\n</gone>\n"),
    "printname.conf": (NOBODY, 0o600, b"<gone>\nid=1\npassword=2\n</gone>\n<lp1>\nid=5\npassword=6\n</lp1>\n"),
    "status": (0, 0o644, b"<lp1>ON</lp1>\n<gone>U_ON</gone>\n"),
}
AFTER = {  # after -p, --batch and --forget gone
    "root.conf": b"<lp1>\nid=1111111\npassword=0042\n</lp1>\n<lp2>\nid=2222222\npassword=0042\n</lp2>\n",
    "nobody.conf": b"<lp2>\nu_id=YWxpY2U=\nu_password=c2VjcmV0\n</lp2>\n<lp1>\nid=7654321\npassword=0042\n"
                   b"s_id=Ym9i\ns_password=cHc=\n</lp1>\n",
    "printname.conf": b"<lp1>\nid=5\npassword=6\n</lp1>\n",
    "status": b"<lp1>ON</lp1>\n",
}
# A neighbour could plant these too, but then what is left to check is only
# that the tool says so.
PROTECTED = {n.encode() + end for n in GOOD for end in (b"", b".new")}
ROWS = {  # USER OWNER QUEUE SWITCHED-ON JOB-ACCOUNTING USER-AUTHENTICATION SECURED-PRINT CUPS
    "nobody nobody gone user-authentication - - stored gone", "nobody nobody lp2 - - stored - known",
    "printname nobody gone user-authentication stored - - gone",
    "printname nobody lp1 job-accounting stored - - known",
    "root root gone user-authentication stored - - gone", "root root lp1 job-accounting stored - - known"}


def sections(rng, names):
    text = b""
    for n in names:
        keys = rng.sample([b"id=1", b"password=2", b"u_id=YQ==", b"u_password=YQ==", b"s_id=YQ==", b"x"], 2)
        text += b"<" + n + b">\n" + b"\n".join(keys) + b"\n</" + n + b">\n"
    return text


def content(rng, path, offered, everything):
    """Writes a regular file of a random hostile shape; the section names it
    holds go to everything, and to offered when they must be offered."""
    shape = rng.randrange(9)
    with open(path, "wb") as f:
        if shape <= 2:  # sections with hostile names
            names = [name(rng, b"\n\r\xff<>") for _ in range(rng.randint(1, 6))]
            offered.extend(n for n in names if offerable(n))
            everything.update(names)
            f.write(sections(rng, names))
        elif shape == 3:  # one-line sections, many
            names = [b"%x" % i for i in range(rng.randint(1, 20000))]
            everything.update(names)
            f.write(b"".join(b"<" + n + b">\n" for n in names))
        elif shape == 4:  # a section on one line, up to just below the size limit
            f.write(b"<" + name(rng) * 4 + b">" + b"x" * rng.choice([10, 5000, MIB8 // 16]))
        elif shape == 5:  # unclosed, nested
            names = [name(rng, b"\n\r\xff") for _ in range(rng.randint(1, 9))]
            everything.update(names)
            f.write(b"".join(b"<" + n + b">\nid=1\n" for n in names))
        elif shape == 6:  # binary
            f.write(rng.randbytes(rng.randint(0, 1 << 16)))
        elif shape == 7:  # sparse: far past the size limit, or holes below it
            f.truncate(rng.choice([MIB8 + 1, 1 << 40, rng.randint(1, MIB8 - 1)]))
        else:  # CR and 0xFF line ends, keys outside sections, long lines
            f.write(b"<lp1>\r\nid=1\xffpassword=2\r</lp1>\n" + b"id=" + b"9" * rng.randint(0, 9000) + b"\n")


def plant(rng, d, offered, everything):
    """Plants one hostile entry in directory d."""
    stem = name(rng, b"/\0")[:200]
    suffix = rng.choice([b".conf"] * 6 + [b".conf.new", b"", b".CONF", b".conf\n"])
    fname = stem + suffix
    if rng.random() < 0.1:
        fname = rng.choice([b".", b"..", b".hidden-"]) + stem[:40] + b".conf"
    if rng.random() < 0.1:
        fname = rng.choice([b"bin", b"sys", b"lp", b"mail", b"daemon", b"games"]) + b".conf"
    path = os.path.join(d, fname)
    if os.path.lexists(path) or fname in PROTECTED:
        return
    owner = rng.choice([NEIGHBOUR] * 4 + [STRANGER, 2])
    kind = rng.randrange(10)
    if kind <= 5:
        # The neighbour's own file is read as theirs: its names are offered.
        mine = fname == b"daemon.conf" and owner == NEIGHBOUR
        content(rng, path, offered if mine else [], everything)
        os.chmod(path, 0o600 if mine else rng.choice([0o600] * 6 + [0o644, 0o666, 0o4600, 0o000]))
    elif kind == 6:
        os.mkfifo(path, 0o600)
    elif kind == 7:
        os.symlink(rng.choice([b"/etc/shadow", b"root.conf", b"nobody.conf", b"nowhere", b"../../..",
                               b"/dev/zero", b"status"]), path)
    elif kind == 8:
        os.mkdir(path)
        with open(os.path.join(path, b"x"), "wb") as f:
            f.write(b"<lp1>\n")
    else:
        others = [e for e in os.listdir(d) if e not in PROTECTED and e != b"daemon.conf"
                  and os.path.isfile(os.path.join(d, e)) and not os.path.islink(os.path.join(d, e))]
        if not others:
            return
        os.link(os.path.join(d, rng.choice(others)), path)
        return
    os.lchown(path, owner, owner)


def heavy(d, index):
    """Floods: files of 8 MiB of one-line sections, or 150 sparse 8 MiB files
    named to be read before the good ones."""
    if (index // HEAVY_EVERY) % 2 == 0:
        text = b"".join(b"<%x>\n" % i for i in range(1_200_000))[:MIB8 - 64]
        for fname, owner in ((b"daemon.conf", NEIGHBOUR), (b"a-flood.conf", STRANGER), (b"b-flood.conf", 2)):
            with open(os.path.join(d, fname), "wb") as f:
                f.write(text)
            os.chown(os.path.join(d, fname), owner, owner)
            os.chmod(os.path.join(d, fname), 0o600)
        return "three files of 1,000,000 one-line sections each"
    for i in range(150):
        path = os.path.join(d, b"a%03d.conf" % i)
        with open(path, "wb") as f:
            f.write(b"<")
            f.truncate(MIB8 - 1)
            f.seek(MIB8 - 1)
            f.write(b">")
        os.chown(path, NEIGHBOUR, NEIGHBOUR)
        os.chmod(path, 0o600)
    return "150 sparse files of 8 MiB, read before the good ones"


def make_directory(index):
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=1777,size=2g", "hostile", ACCOUNTS], check=True)
    d = ACCOUNTS.encode()
    for fname, (owner, mode, text) in GOOD.items():
        path = os.path.join(d, fname.encode())
        with open(path, "wb") as f:
            f.write(text)
        os.chown(path, owner, owner)
        os.chmod(path, mode)
    rng = random.Random(f"{SEED}:{index}")
    offered, everything = [], set()
    flood = heavy(d, index) if HEAVY_EVERY and index % HEAVY_EVERY == HEAVY_EVERY // 2 else None
    for _ in range(rng.randint(3, 14)):
        plant(rng, d, offered, everything)
    if flood:
        offered.clear()  # whether a flooded neighbour's own file is read is the tool's call
        print(f"hostile: directory {index}: {flood}", flush=True)
    return offered, everything


# ---- Running the commands ---------------------------------------------------

CWD = os.path.join(WORK, "cwd")  # where a command a name smuggled in would leave "pwned"
ENV = dict(os.environ, CUPS_SERVER=SOCKET, HOME=WORK, USER="root", LC_ALL="C.UTF-8",
           PATH=os.path.dirname(TOOL) + ":" + os.environ["PATH"])
worst = {}  # command: [worst seconds, peak kB, directory of the worst, seconds in all, runs]


def run(label, argv, stdin=b""):
    """Runs argv under the memory limit (this process's, set in main) and the
    deadline: (status, out, err); status 124 when the deadline killed it."""
    files = [open(os.path.join(WORK, n), "w+b") for n in ("in", "out", "err")]
    files[0].write(stdin)
    files[0].seek(0)
    start, killed = time.monotonic(), []
    p = subprocess.Popen(["/usr/bin/time", "-q", "-f", "%M", "-o", os.path.join(WORK, "peak")] + argv,
                         stdin=files[0], stdout=files[1], stderr=files[2], cwd=CWD, env=ENV,
                         start_new_session=True)
    deadline = threading.Timer(DEADLINE, lambda: killed.append(os.killpg(p.pid, signal.SIGKILL)))
    deadline.start()
    _, status, _ = os.wait4(p.pid, 0)
    deadline.cancel()
    try:
        os.killpg(p.pid, signal.SIGKILL)  # what it left running
    except ProcessLookupError:
        pass
    p.returncode = 124 if killed else os.waitstatus_to_exitcode(status)
    took = time.monotonic() - start
    w = worst.setdefault(label, [0.0, 0, None, 0.0, 0])
    w[3], w[4] = w[3] + took, w[4] + 1
    w[0], w[2] = (took, current) if took > w[0] else (w[0], w[2])
    with open(os.path.join(WORK, "peak")) as f:
        peak = f.read().split()
    w[1] = max(w[1], int(peak[-1]) if peak and peak[-1].isdigit() else 0)
    out, err = (f.seek(0) or f.read() for f in files[1:])
    for f in files:
        f.close()
    return p.returncode, out, err


problems = {}  # check: [count, first directory, first detail]
current = None


def fail(check, detail):
    entry = problems.setdefault(check, [0, current, detail])
    entry[0] += 1
    if entry[0] <= 3:
        print(f"FAIL: directory {current}: {check}: {detail}"[:2000], flush=True)


def shown(text):
    return text[-600:].decode("utf-8", "backslashreplace")


def check_run(label, status, out, err, statuses=(0, 1), shown_out=True):
    if status not in statuses:
        what = {124: f"did not end within {DEADLINE} s"}.get(status, f"status {status}")
        fail(f"{label} ends with status 0 or 1", f"{what}: {shown(err)}")
    if any(mark in err for mark in (b"terminate called", b"bad_alloc", b"Sanitizer", b"runtime error:")):
        fail(f"{label} never aborts", shown(err))
    for stream, text in (("stdout", out if shown_out else b""), ("stderr", err)):
        terminal_safe(f"{label} {stream}", text)
    if os.listdir(CWD):
        fail(f"{label} runs no command a name holds", f"{os.listdir(CWD)} appeared")
        for entry in os.listdir(CWD):
            os.remove(os.path.join(CWD, entry))


def terminal_safe(what, text):
    """No raw C0 (but LF), DEL, C1, blank (but the space), separator, format
    or default-ignorable character, and no bytes that are no UTF-8."""
    control = re.search(rb"[\x00-\x09\x0b-\x1f\x7f]", text)
    at = control.start() if control else None
    try:
        found = UNSAFE.search(text.decode("utf-8"))
        if found and at is None:
            at = len(found.string[:found.start()].encode())
    except UnicodeDecodeError as e:
        at = e.start if at is None else min(at, e.start)
    if at is not None:
        fail(f"{what} holds no raw control, blank or format character, nor bytes that are no UTF-8",
             f"at byte {at}: {text[max(0, at - 50):at + 12]!r}")


def table_rows(out):
    return {" ".join(w.decode("utf-8", "replace") for w in line.split()) for line in out.split(b"\n")}


def json_rows(out, label):
    try:
        document = json.loads(out)
        return {" ".join(e[k] or "-" for k in ("user", "owner", "queue", "switched_on", "job_accounting",
                                              "user_authentication", "secured_print", "cups"))
                for e in document["entries"]}
    except (ValueError, KeyError, TypeError) as e:
        fail(f"{label} prints one JSON document", f"{e}: {shown(out)}")
        return set()


ROOT_WORDS = "-p -x -pu -xu -ps -xs -e -eu -d --list --check --batch --forget --user --help --version".split()
# After these the completion asks only CUPS, whatever the directory holds:
# they run in every eighth directory, the others in each.
CUPS_ONLY = "-p -pu -ps -e -eu -d --check".split()
COMPLETE = r'''source "$1"; shift
for option in "$@"; do
  COMP_WORDS=(velmora-account "$option" ''); COMP_CWORD=2; _velmora_account
  printf '%s\0' "$option" "${#COMPREPLY[@]}" "${COMPREPLY[@]}"
done'''


def completion(offered, everything):
    """Root's completion after every option; the words offered, and what
    each names when the command line runs."""
    options = [o for o in ROOT_WORDS if current % 8 == 0 or o not in CUPS_ONLY]
    status, out, err = run("completion", ["bash", "-c", COMPLETE, "-", COMPLETION] + options)
    check_run("completion", status, out, err, (0,), shown_out=False)  # each word checked below
    fields, words = out.split(b"\0")[:-1], {}
    while len(fields) >= 2:
        count = int(fields[1])
        words[fields[0].decode()] = fields[2:2 + count]
        fields = fields[2 + count:]
    # What the words name once the line runs: bash parses them as typed, all
    # at once, each option's behind the option itself.
    typed = [w for option, offered_words in words.items() for w in [option.encode()] + offered_words]
    status, out, err = run("completion words", ["bash", "-c", b"printf '%s\\0' " + b" ".join(typed)])
    if os.listdir(CWD):
        fail("the words completion offers run nothing", f"{os.listdir(CWD)}: {typed}")
        for entry in os.listdir(CWD):
            os.remove(os.path.join(CWD, entry))
    named = out.split(b"\0")[:-1]
    if len(named) != len(typed):
        fail("each word completion offers is one word", f"{len(named)} words named by {typed}")
        return
    at = 0
    for option, offered_words in words.items():
        terminal_safe(f"completion after {option}", b" ".join(offered_words))
        names, at = named[at + 1:at + 1 + len(offered_words)], at + 1 + len(offered_words)
        if option in ("--user", "--list", "--batch"):  # not names
            continue
        known = {b"gone"} | everything if option == "--forget" else {b"lp1", b"lp2"}
        known |= {b"gone"} if option.startswith("-x") else set()
        strange = [n for n in names if n not in known]
        if strange:
            fail("completion offers only names that are listed", f"after {option}: {strange[:3]}")
        expected = {b"gone"} | set(offered) if option == "--forget" else {b"lp1", b"lp2"}
        if option in ("--help", "--version"):
            expected = set()
        missing = expected - set(names)
        if missing:
            fail("completion offers every queue it should", f"after {option}: {sorted(missing)[:3]} "
                 f"not among {offered_words[:8]}")
    if set(words) != set(options):
        fail("completion answers after every option", f"only after {sorted(words)}: {shown(err)}")


GOOD_RECORDS = [{"user": "nobody", "queue": "lp1", "kind": "secured-print", "id": "bob", "password": "pw"},
                {"user": "root", "queue": "lp2", "kind": "job-accounting", "id": "2222222", "password": "0042"}]
REFUSED_RECORDS = [  # the neighbour's: never taken
    b'{"user":"daemon","user":"nobody","queue":"lp2","kind":"job-accounting","id":"1","password":"2"}',
    b'{"user":"daemon","queue":"lp2","kind":"job-accounting","id":"1\\u00002","password":"2"}']


def is_utf8(text):
    try:
        return text.decode("utf-8") is not None
    except UnicodeDecodeError:
        return False


def batch(rng, everything):
    """Good records beside the neighbour's, and their answers."""
    valid = [n.decode("utf-8") for n in sorted(everything) if is_utf8(n)]
    lines = [json.dumps(r).encode() for r in GOOD_RECORDS] + REFUSED_RECORDS
    lines += [json.dumps({"user": "daemon", "queue": q, "kind": "job-accounting", "id": "1", "password": "2"},
                         ensure_ascii=False).encode() for q in valid[:3]]
    lines.append(rng.randbytes(rng.randint(1, 300)).replace(b"\n", b" "))
    status, out, err = run("--batch", [TOOL, "--batch"], b"\n".join(lines) + b"\n")
    check_run("--batch", status, out, err)
    answers = {}
    for line in out.split(b"\n")[:-1]:
        try:
            answer = json.loads(line)
            answers[answer["line"]] = answer
        except (ValueError, KeyError, TypeError) as e:
            fail("--batch answers each record with a line of JSON", f"{e}: {shown(line)}")
    for number, want in ((1, "changed"), (2, "changed"), (3, "refused"), (4, "refused")):
        got = answers.get(number, {}).get("result")
        if got != want:
            fail(f"--batch record {number} is {want}", f"{got}: {lines[number - 1]} -> {answers.get(number)}")
    if len(answers) != len(lines):
        fail("--batch answers every record", f"{len(answers)} answers to {len(lines)} lines")


def forget():
    status, out, err = run("--forget", [TOOL, "--forget", "gone"])
    check_run("--forget", status, out, err)
    for fname, after in AFTER.items():
        path = os.path.join(ACCOUNTS, fname)
        st = os.lstat(path)
        with open(path, "rb") as f:
            text = f.read()
        owner, mode, _ = GOOD[fname]
        if (text, st.st_uid, st.st_mode & 0o7777) != (after, owner, mode):
            fail(f"{fname} ends as -p, --batch and --forget leave it",
                 f"{st.st_uid}:{st.st_mode & 0o7777:o} {text!r} ({shown(err)})")


def one(index):
    global current
    current = index
    offered, everything = make_directory(index)
    rng = random.Random(f"{SEED}:{index}:batch")
    status, out, err = run("--list --all-users", [TOOL, "--list", "--all-users"])
    check_run("--list --all-users", status, out, err)
    if ROWS - table_rows(out):
        fail("--list --all-users lists the good files", f"missing {sorted(ROWS - table_rows(out))}: "
             + shown(err))
    completion(offered if b"daemon.conf" not in err else [], everything)
    status, out, err = run("--list --all-users --json", [TOOL, "--list", "--all-users", "--json"])
    check_run("--list --all-users --json", status, out, err)
    rows = json_rows(out, "--list --all-users --json")
    if ROWS - rows:
        fail("--list --all-users --json lists the good files", f"missing {sorted(ROWS - rows)}")
    status, out, err = run("--check", [TOOL, "--user", "nobody", "--check", "lp2"])
    check_run("--check", status, out, err)
    if status != 0 or b"user-authentication: stored\n" not in out:
        fail("--user nobody --check lp2 finds nobody's entry", f"status {status}: {shown(out + err)}")
    status, out, err = run("-p", [TOOL, "--user", "nobody", "-p", "lp1"], b"7654321\n0042\n")
    check_run("-p", status, out, err)
    if status != 0:
        fail("--user nobody -p lp1 stores the ID and PIN", f"status {status}: {shown(err)}")
    for label, argv, stdin in (("--check", ["--check", "lp1"], b""), ("-p", ["-p", "lp1"], b"1\n2\n")):
        status, out, err = run(label, [TOOL, "--user", "daemon"] + argv, stdin)
        check_run(f"--user daemon {label}", status, out, err)
    batch(rng, everything)
    forget()


def keep(index):
    """A failing directory, as a tarball to unpack and look at."""
    kept = os.path.join(WORK, f"failed-{index}.tar")
    subprocess.run(["tar", "--sparse", "-cf", kept, "-C", ACCOUNTS, "."], check=False)
    print(f"hostile: directory {index} kept in {kept}; again with VELMORA_HOSTILE_SEED={SEED} "
          f"VELMORA_HOSTILE_ONLY={index}", flush=True)


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(CWD)
    indices = [int(ONLY)] if ONLY else range(SHARD, COUNT, SHARDS)
    print(f"hostile: seed {SEED} (VELMORA_HOSTILE_SEED), {len(indices)} directories "
          f"(VELMORA_HOSTILE_DIRECTORIES), {'no memory limit' if SANITIZED else f'{MEMORY >> 20} MiB'} and "
          f"{DEADLINE} s per command", flush=True)
    start, kept, done = time.monotonic(), 0, 0
    if not SANITIZED:
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY, MEMORY))  # each command's, as ulimit -v

    def progress():  # every 5 s, even while one command runs long
        while True:
            time.sleep(5)
            print(f"hostile: {done} of {len(indices)} directories, {time.monotonic() - start:.0f} s, "
                  f"{sum(p[0] for p in problems.values())} problems", flush=True)

    threading.Thread(target=progress, daemon=True).start()
    for index in indices:
        before = sum(p[0] for p in problems.values())
        try:
            one(index)
        finally:
            if sum(p[0] for p in problems.values()) > before and kept < 5:
                keep(index)
                kept += 1
            subprocess.run(["umount", ACCOUNTS], check=True)
        done += 1
    print(f"hostile: {done} directories in {time.monotonic() - start:.0f} s")
    print(f"{'command':<28} {'runs':>5} {'mean s':>7} {'worst s':>8} {'in':>5} {'peak MiB':>9}")
    for label, (took, peak, where, total, runs) in sorted(worst.items()):
        print(f"{label:<28} {runs:5} {total / runs:7.3f} {took:8.2f} {where!s:>5} {peak / 1024:9.1f}")
    for check, (count, first, detail) in sorted(problems.items()):
        print(f"hostile: {count} x {check} (first in directory {first})")
    print(f"hostile_directories: {sum(p[0] for p in problems.values())} problems")
    return 1 if problems else 0


sys.exit(main())
