"""One case of zubexc triage, on logs the probe writes: triage_check.py CASE WORK TOOL PROBE
[EMULATOR...]"""
import json
import os
import re
import shutil
import subprocess
import sys

case, work, tool, probe_program, *emulator = sys.argv[1:]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)


def fail(what):
    sys.exit("FAILED: %s" % what)


def probe(*args):
    """The probe's stderr, and its stdout."""
    run = subprocess.run(emulator + [probe_program] + list(args), capture_output=True)
    if run.returncode != 0:
        fail("probe %s: status %d\n%s" % (" ".join(args), run.returncode, run.stderr))
    return run.stderr.decode("utf-8", "surrogateescape"), run.stdout


def write(name, text):
    path = os.path.join(work, name)
    with open(path, "w", encoding="utf-8", errors="surrogateescape", newline="") as f:
        f.write(text)
    return path


def triage(*args, stdin=None, input=None):
    """Status, output and errors of the tool; the output's groups when it is --json."""
    run = subprocess.run(emulator + [tool, "triage"] + list(args), stdin=stdin, input=input,
                         capture_output=True, text=True, encoding="utf-8",
                         errors="surrogateescape")
    out, err = run.stdout.replace("\r\n", "\n"), run.stderr.replace("\r\n", "\n")
    return run.returncode, out, err, [json.loads(line) for line in out.splitlines()
                                      if "--json" in args]


def expect(what, actual, expected):
    actual == expected or fail("%s: %r, expected %r" % (what, actual, expected))


def frames_of(record):
    return [(f["function"], f["file"], f["line"]) for f in record["frames"]]


def group_of(groups, text):
    """The first group whose message contains `text`."""
    return next((g for g in groups if text in g["message"]), None) or fail(
        "no group of '%s' in %s" % (text, groups))


if case == "mixed":
    # Text and JSON reports of the same failures, several processes, notices,
    # unrelated lines, a message that is not UTF-8, and a report cut off at the end.
    text1, _ = probe("text", "site-a:first", "site-a:second", "noise:unrelated", "site-b:first",
                     "assert", "notice")
    json1, _ = probe("json", "site-a:third", "bounds:7", "noise:also-unrelated", "site-b:second",
                     "notice", "hostile")
    text2, _ = probe("text", "bounds:9", "hostile")
    cut, _ = probe("text", "site-a:cut")
    cut = cut[:cut.index("!!! TRACEBACK:") + 30]
    log = write("server.log", "starting\n" + text1 + '{"level": "info", "msg": "a JSON line of '
                'another program"}\n' + json1 + text2 + cut)
    rc, out, err, groups = triage("--json", log)
    expect("status", rc, 0)
    expect("groups", len(groups), 7)
    # The same call site in both forms: one group; another site of the class, another.
    sites = [g for g in groups if "No such file: first" in g["message"]]
    expect("sites A and B", [(g["count"], g["class"], g["code"]) for g in sites],
           [(3, "NUVZubExcNoSuchFile", 1013), (2, "NUVZubExcNoSuchFile", 1013)])
    bounds = group_of(groups, "I/O out of bounds")
    expect("another class from site A", (bounds["count"], bounds["class"]),
           (2, "NUVZubExcIOBounds"))
    hostile = group_of(groups, "bad ")
    expect("the message that is not UTF-8, in both forms", hostile["count"], 2)
    if "bad \ufffd\ufffd byte" not in hostile["message"]:
        fail("invalid bytes are not U+FFFD in %r" % hostile["message"])
    expect("the notice in both forms", group_of(groups, "!!! Throwing")["count"], 2)
    expect("the assertion", group_of(groups, "i < 0")["report"], "assertion")
    expect("the report cut off at the end", group_of(groups, "No such file: cut")["cut_off"], 1)
    # A traceback read from the text form is the one the JSON form of the same site carries.
    expect("site A's traceback, first seen as text", frames_of(sites[0]),
           frames_of(json.loads(json1.splitlines()[0])))
    time = bounds["first_seen"]["time"]
    if not re.fullmatch(r"20\d\d-[01]\d-[0-3]\dT[0-2]\d:[0-5]\d:[0-6]\d\.\d+Z", time):
        fail("the JSON report's time is missing: %r" % time)
    # The text form: most frequent first, with the traceback.
    rc, out, err, _ = triage(log)
    if not re.match(r"7 groups, 13 reports \(1 cut off\)\n\n +3  [0-9a-f]+  NUVZubExcNoSuchFile "
                    r"\(code 1013\)\n +message: +No such file: first\n +first seen: +line 2\n"
                    r"(?:(?! +\d+  [0-9a-f]+  ).*\n)*?"  # within this group
                    r" +traceback:\n +NUVZubExcNoSuchFile::Propagate in [^\n]+:\d+\n", out):
        fail("text output:\n" + out)
elif case == "processes":
    # One failure from two processes, each with its own address layout.
    (one_log, one_stdout), (two_log, two_stdout) = (probe("json", "site-a:%d" % n, "address")
                                                    for n in (1, 22))
    one, two = json.loads(one_log), json.loads(two_log)
    expect("fingerprints of two processes", one["fingerprint"], two["fingerprint"])
    expect("the caller's offset in its module", one["frames"][2]["offset"],
           two["frames"][2]["offset"])
    if not emulator and one_stdout == two_stdout:
        fail("both processes loaded the probe at %s: no layout differed" % one_stdout)
    rc, out, err, groups = triage("--json", write("two.log", one_log + two_log))
    expect("the two processes' reports", groups[0]["count"], 2)
    expect("triage keeps the library's fingerprint", groups[0]["fingerprint"], one["fingerprint"])
    expect("the traceback read from JSON", frames_of(groups[0]), frames_of(one))
elif case == "unreadable":
    # A file that cannot be read is an error; the others are still read.
    good = write("good.log", probe("text", "site-a:x")[0])
    os.makedirs(os.path.join(work, "a-directory"))
    rc, out, err, groups = triage("--json", os.path.join(work, "missing.log"), good,
                                  os.path.join(work, "a-directory"))
    expect("status", rc, 1)
    for name in ("missing.log", "a-directory"):
        if not re.search(r"zubexc triage: cannot read [^\n]*%s: " % name, err):
            fail("no message for %s:\n%s" % (name, err))
    expect("the readable file's report", groups[0]["count"], 1)
    if not groups[0]["first_seen"]["file"].endswith("good.log"):
        fail("first seen in %r" % groups[0]["first_seen"]["file"])
elif case == "standard_input":
    text = probe("json", "site-a:x", "site-a:y")[0]
    name = write("input.log", text)
    with open(name) as log:
        rc, out, err, _ = triage(stdin=log)
    expect("status", rc, 0)
    if not out.startswith("1 group, 2 reports\n"):
        fail("standard input:\n%s\n%s" % (out, err))
    # A pipe, named "-" beside a file.
    rc, out, err, _ = triage("-", name, input=text)
    expect("status", rc, 0)
    if not out.startswith("1 group, 4 reports\n"):
        fail("a pipe and a file:\n%s\n%s" % (out, err))
else:
    fail("unknown case " + case)
