"""Writes one case of generator_hostile.txt into a directory of its own and checks that the
catalogue generator refuses it: status 1, nothing on stdout, and one line on stderr naming
the file, the class and the rule; no traceback.
Usage: generator_refuses.py GENERATOR TABLE WORK CASE"""
import os
import re
import shutil
import subprocess
import sys

generator, table, work, case = sys.argv[1:]
data = os.path.join(work, case)
shutil.rmtree(data, ignore_errors=True)
os.makedirs(data)
expected = None
with open(table, encoding="utf-8") as f:
    for block in re.split(r"^== ", f.read(), flags=re.M)[1:]:
        head, _, body = block.partition("\n")
        head, _, refusal = head.partition(" => ")
        name, file = head.split()
        if name != case:
            continue
        if refusal:
            expected = re.escape(file) + ": " + refusal
        if not body.startswith("family"):
            body = 'family = "%s"\ntitle = "Hostile data"\n' % file[:-len(".toml")] + body
        with open(os.path.join(data, file), "w", encoding="utf-8", newline="\n") as out:
            out.write(body)
if expected is None:
    sys.exit("no case %s in %s" % (case, table))
run = subprocess.run([sys.executable, generator, "--data", data, "--out", data + ".out"],
                     capture_output=True, text=True)
pattern = "generate.py: [^\n]*/%s/%s[^\n]*\n" % (re.escape(case), expected)
if run.returncode != 1 or run.stdout or not re.fullmatch(pattern, run.stderr):
    sys.exit("status %d, expected 1\nstdout:\n%s\nstderr does not match '%s':\n%s" %
             (run.returncode, run.stdout, pattern, run.stderr))
