#!/usr/bin/env python3
"""Mutation testing of the library's handwritten code.

Makes a reproducible sample of small faults (mutants) in the library's sources,
the base stand-ins, the zubexc tool and the catalogue generator, and for each
one: writes it into the source file, builds incrementally, runs the tests (those
that cover the file first, then the rest of the suite), restores the file, and
writes one row to a table: killed (a test failed), timeout (a test hung),
survived (every test passed) or build-failed (not counted).

Operators:
  cmp-negate      == and != swapped; < to >=, <= to >, > to <=, >= to <
  cmp-boundary    < and <=, > and >= swapped (strict and non-strict)
  cond-negate     an if, while or for condition C becomes !(C)  (Python: not (C))
  const-plus-one, const-minus-one
                  an integer literal N becomes N + 1 or N - 1, one direction
                  per literal: 0 up, the others by a hash of their line
  error-success   return of an error code becomes return 0 (errno, error,
                  LastError(), -1, ERROR_*/E* constants; Python: return N);
                  return false becomes return true
  check-removed   an if condition that calls something becomes false; a
                  declared condition's initializer becomes {}

Comments, string and character literals and preprocessor lines are never
mutated. Templates' angle brackets are told from comparisons by their shape.

The build tree (default build/mutation: RelWithDebInfo, tests on, benchmarks
off) is configured with CMAKE_LINK_DEPENDS_NO_SHARED, so a build after a
mutation recompiles the mutated file and relinks only its own target (a base
library, the library, zubexc) or reruns the generator: the test programs load
the shared libraries at run time and are not relinked. One core by default.
"""
import argparse
import fcntl
import fnmatch
import hashlib
import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import tokenize

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GENERATOR = "NUVZub/NUVZubExc.m/generate.py"

# Layers of the handwritten code, by directory (first match wins). Headers are
# sampled only with --headers: a change there rebuilds every includer.
LAYERS = [
    ("base", "base/*"),
    ("platform", "platform/*"),
    ("utt", "NUVZub/NUVZubUtt.m/*"),
    ("utt", "NUVZub/PrivateInterfaces/*"),
    ("catalogue", "NUVZub/NUVZubExc.m/*"),
    ("entry", "NUVZub/NUVZubContainers.m/*"),
    ("entry", "include/*"),
    ("tools", "tools/*"),
]

# The tests that cover a source file, run first; the first matching pattern
# wins. A test is named by a pattern matched against its program's name (the
# test executable) or against its ctest name. The rest of the suite runs
# after them, unless --only-mapped, so this table only orders the work: a
# mutant survives when no test of the suite fails.
COVERAGE = [
    # Reports in both forms, their fingerprints and the triage of logs of them.
    ("*/NUVZubUttJsonRecord.cpp", ["utt_report_*", "tools_*"]),
    ("*/NUVZubUttFingerprint.cpp", ["utt_report_*", "tools_*"]),
    ("*/NUVZubUttFrameCache.cpp", ["utt_report_*"]),
    ("platform/SymbolNames.cpp", ["utt_report_*", "tools_*"]),
    ("platform/*/Thread.cpp", ["utt_report_*", "utt_guards_*"]),
    ("tools/zubexc/triage.cpp", ["tools_*"]),
    ("base/*/NUVString.cpp", ["base_string_test", "utt_path_test", "python_CheckString"]),
    ("base/*/atr.cpp", ["base_atr_test", "catalogue_sweep"]),
    ("base/*/NUVBasException.cpp", ["base_atr_test", "base_string_test", "utt_exception_shape_test",
                                    "utt_report_environment_test"]),
    ("base/ZELNUVBasShared/*", ["base_shared_test", "utt_resource_monitor_test", "utt_utils_test"]),
    ("base/ZELNUVBasXmlParser/*", ["base_shared_test", "utt_utils_test"]),
    ("base/*", ["base_*", "entry_*", "entry.*"]),
    ("platform/ReportText.cpp", ["utt_report_environment_test"]),
    ("platform/*/Process.cpp", ["utt_report_environment_test", "utt_resource_monitor_test",
                                "utt_osfile_env_test", "utt_commandline_test",
                                "utt_fileutils_test"]),
    ("platform/*/FileSystem.cpp", ["platform_file_*", "utt_fileutils_*", "python_Glob",
                                   "utt_path_test"]),
    ("platform/*/Handle.cpp", ["platform_file_*", "utt_guards_*"]),
    ("platform/*", ["platform_file_*", "utt_osfile_*", "utt_fileutils_*"]),
    ("*/NUVZubBadNUVString.cpp", ["python_CheckString", "utt_path_test", "utt_osfile_test",
                                  "utt_report_environment_test"]),
    ("*/NUVZubCommandLine.cpp", ["utt_commandline_test"]),
    ("*/NUVZubFileHeaderDiff.cpp", ["utt_header_diff_test"]),
    ("*/NUVZubUttAssert.cpp", ["utt_report_environment_test", "utt_exception_shape_test",
                               "catalogue_sweep"]),
    ("*/NUVZubUttFilePathParser.cpp", ["utt_path_test", "utt_fileutils_*"]),
    ("*/NUVZubUttFileUtils.cpp", ["utt_fileutils_*", "python_*"]),
    ("*/NUVZubUttGuards.cpp", ["utt_guards_*"]),
    ("*/NUVZubUttMutex.cpp", ["utt_guards_test"]),
    ("*/NUVZubUttInit.cpp", ["entry_*", "entry.*", "utt_resource_monitor_test"]),
    ("*/NUVZubUttOSFile.cpp", ["utt_osfile_*"]),
    ("*/NUVZubUttPythonGlueTest.cpp", ["utt_utils_test", "python_*"]),
    ("*/NUVZubUttResourceMonitor.cpp", ["utt_resource_monitor_test"]),
    ("*/NUVZubUttSerErrors.cpp", ["utt_utils_test"]),
    ("*/NUVZubUttUtils.cpp", ["utt_utils_test"]),
    ("NUVZub/NUVZubExc.m/*", ["catalogue_*"]),
    ("NUVZub/NUVZubContainers.m/*", ["entry_*", "entry.*", "utt_fileutils_test", "utt_utils_test",
                                     "python_*"]),
    ("tools/*", ["catalogue_zubexc_*"]),
]

# Compiled only by the Windows build: sampled with --windows, from its own tree.
WINDOWS_ONLY = ("platform/win32/*", "base/*Win32.cpp")

FATES = ("killed", "timeout", "survived", "build-failed")
COLUMNS = ("id", "where", "layer", "operator", "original", "mutated", "fate", "killer", "seconds")


def layer_of(path):
    for name, pattern in LAYERS:
        if fnmatch.fnmatch(path, pattern):
            return name
    return None


def code_files(headers):
    """Every handwritten code file of the tree, relative to the root, sorted."""
    found = []
    for top in ("base", "platform", "NUVZub", "tools", "include"):
        for folder, _, names in os.walk(os.path.join(ROOT, top)):
            for name in names:
                path = os.path.relpath(os.path.join(folder, name), ROOT).replace(os.sep, "/")
                if layer_of(path) is None:
                    continue
                if path.endswith(".cpp") or path == GENERATOR or (headers and path.endswith(".h")):
                    found.append(path)
    return sorted(found)


# ---- C++ sites ----

CPP_TOKEN = re.compile(r"""
    (?P<space>\s+)
  | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<string>(?:u8|u|U|L)?R"(?P<delim>[^()\\\s]{0,16})\(.*?\)(?P=delim)"
      | (?:u8|u|U|L)?"(?:\\.|[^"\\\n])*"
      | (?:u8|u|U|L)?'(?:\\.|[^'\\\n])+')
  | (?P<number>\.?\d(?:[\w.]|'(?=\w)|(?<=[eEpP])[+-])*)
  | (?P<name>[A-Za-z_]\w*)
  | (?P<op>>>=|<<=|<=>|->\*|\.\.\.|::|->|\+\+|--|<<|>>|<=|>=|==|!=|&&|\|\||[-+*/%^&|=!~<>]=?|[][(){};:,.?\#\\])
""", re.S | re.X)

INTEGER = re.compile(r"(0[xX][0-9a-fA-F']+|0[bB][01']+|\d[\d']*)([uUlL]*)")
KEYWORDS = set("""
    alignas alignof and asm auto bool break case catch char class const constexpr const_cast
    continue decltype default delete do double dynamic_cast else enum explicit extern false float
    for friend goto if inline int long mutable namespace new noexcept not nullptr operator or
    private protected public register reinterpret_cast return short signed sizeof static
    static_assert static_cast struct switch template this throw true try typedef typeid typename
    union unsigned using virtual void volatile while""".split())
NOT_CALLS = KEYWORDS | {"defined"}
CASTS = {"operator", "static_cast", "reinterpret_cast", "const_cast", "dynamic_cast"}
ERROR_VALUE = re.compile(r"errno|err|error|\w*Error|ERROR_\w+|E[A-Z0-9]{2,}|-1|(Get)?LastError\(\)")


class Token:
    __slots__ = ("kind", "text", "start", "end")

    def __init__(self, kind, text, start, end):
        self.kind, self.text, self.start, self.end = kind, text, start, end


def cpp_tokens(text):
    """The code tokens of C++ `text`: no spaces, comments, literals' insides or
    preprocessor lines (strings stay as tokens so that expressions keep their shape)."""
    tokens, pos, line_start = [], 0, True
    while pos < len(text):
        m = CPP_TOKEN.match(text, pos)
        if not m:  # a stray byte: step over it
            pos += 1
            continue
        kind = m.lastgroup if m.lastgroup != "delim" else "string"
        if kind == "op" and m.group() == "#" and line_start:
            # A preprocessor line, with its continuations.
            end = pos
            while True:
                end = text.find("\n", end)
                if end < 0:
                    end = len(text)
                    break
                if text[end - 1] != "\\":
                    break
                end += 1
            pos = end
            continue
        if kind == "space":
            if "\n" in m.group():
                line_start = True
        elif kind != "comment":
            line_start = False
            tokens.append(Token(kind, m.group(), m.start(), m.end()))
        pos = m.end()
    return tokens


def template_brackets(tokens):
    """Indices of the tokens that are a template's angle brackets."""
    marked = set()
    for i, t in enumerate(tokens):
        if t.text != "<" or i == 0 or i in marked:
            continue
        before = tokens[i - 1]
        declaration = before.text == "template"
        if not declaration and (before.kind != "name" or before.text in KEYWORDS - CASTS):
            continue
        if before.text == "operator":
            marked.add(i)
            continue
        depth, nest, inner = 1, 0, [i]
        for j in range(i + 1, len(tokens)):
            s = tokens[j].text
            if s in ("(", "["):
                nest += 1
            elif s in (")", "]"):
                nest -= 1
                if nest < 0:
                    break
            elif nest == 0 and s == "<":
                depth += 1
                inner.append(j)
            elif nest == 0 and s in (">", ">>"):
                depth -= len(s)
                inner.append(j)
                if depth <= 0:
                    after = tokens[j + 1] if j + 1 < len(tokens) else None
                    if declaration or after is None or after.kind == "name" or after.text in (
                            "(", "::", "{", ">", ">>", ",", ")", ";", "&", "&&", "*", "...", "["):
                        marked.update(inner)
                    break
            elif s in (";", "{", "}", "&&", "||", "?", "==", "!=", "<=", ">=", "return") or \
                    (s == "=" and not declaration):
                break
    return marked


def matching(tokens, i):
    """Index of the bracket closing the one at `i`."""
    opener = tokens[i].text
    closer = {"(": ")", "[": "]", "{": "}"}[opener]
    depth = 0
    for j in range(i, len(tokens)):
        if tokens[j].text == opener:
            depth += 1
        elif tokens[j].text == closer:
            depth -= 1
            if depth == 0:
                return j
    return None


def top_level(tokens, a, b, text):
    """Indices of the tokens in tokens[a:b] that read `text` outside any brackets."""
    found, depth = [], 0
    for j in range(a, b):
        s = tokens[j].text
        if s in ("(", "[", "{"):
            depth += 1
        elif s in (")", "]", "}"):
            depth -= 1
        elif depth == 0 and s == text:
            found.append(j)
    return found


def is_declaration(tokens, a, b):
    """Whether tokens[a:b] declare a variable with an initializer (`const int e = f()`)."""
    for k in range(a, b):
        s = tokens[k].text
        if s in ("(", "[", "{", "==", "!=", ".", "->"):
            return False
        if s == "=":
            names = [t for t in tokens[a:k] if t.kind == "name"]
            return len(names) >= 2 and tokens[k - 1].kind == "name"
    return False


def upward(before, after):
    """The direction a literal moves, fixed by its line's text around it."""
    return hashlib.sha1((before.lstrip() + "\0" + after).encode()).digest()[0] % 2 == 0


def in_if(tokens, i):
    """Whether the statement at `i` is an if's or else's body, or in that block."""
    k = i - 1
    if tokens[k].text != ")":
        depth = 0
        while k >= 0:
            if tokens[k].text == "}":
                depth += 1
            elif tokens[k].text == "{":
                if depth == 0:
                    break
                depth -= 1
            k -= 1
        k -= 1
        if k < 0:
            return False
        if tokens[k].text == "else":
            return True
        if tokens[k].text != ")":
            return False
    depth = 0
    while k >= 0:  # back to the condition's opening parenthesis
        depth += tokens[k].text == ")"
        depth -= tokens[k].text == "("
        if depth == 0:
            return k > 0 and tokens[k - 1].text == "if"
        k -= 1
    return False


def calls_something(tokens, a, b):
    return any(tokens[k].kind == "name" and tokens[k].text not in NOT_CALLS and
               tokens[k + 1].text == "(" for k in range(a, b - 1))


def cpp_sites(text):
    """(start, end, operator, replacement) for every mutation site of C++ `text`."""
    tokens = cpp_tokens(text)
    templates = template_brackets(tokens)
    sites = []

    def span(a, b):  # text of tokens[a..b], inclusive
        return text[tokens[a].start:tokens[b].end]

    for i, t in enumerate(tokens):
        s = t.text
        before = tokens[i - 1].text if i else ""
        if t.kind == "op" and s in ("==", "!=", "<", "<=", ">", ">=") and i not in templates \
                and before != "operator":
            negated = {"==": "!=", "!=": "==", "<": ">=", "<=": ">", ">": "<=", ">=": "<"}[s]
            sites.append((t.start, t.end, "cmp-negate", negated))
            boundary = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}.get(s)
            if boundary:
                sites.append((t.start, t.end, "cmp-boundary", boundary))
        elif t.kind == "number":
            m = INTEGER.fullmatch(s)
            if not m:
                continue
            digits, suffix = m.group(1).replace("'", ""), m.group(2)
            value = int(digits, 16) if digits[:2] in ("0x", "0X") else \
                int(digits[2:], 2) if digits[:2] in ("0b", "0B") else \
                int(digits, 8) if len(digits) > 1 and digits[0] == "0" else int(digits)
            # One direction per literal: 0 always up.
            line_start = text.rfind("\n", 0, t.start) + 1
            up = value == 0 or upward(text[line_start:t.start], text[t.start:text.find("\n", t.start)])
            op, v = ("const-plus-one", value + 1) if up else ("const-minus-one", value - 1)
            if digits[:2] in ("0x", "0X") and v >= 0:
                literal = "0x%X" % v
            elif digits[0] == "0" and len(digits) > 1 and digits[1].isdigit() and v > 0:
                literal = "0%o" % v
            else:
                literal = str(v)
            sites.append((t.start, t.end, op, literal + suffix))
        elif s == "return" and t.kind == "name":
            end = next((k for k in range(i + 1, len(tokens)) if tokens[k].text == ";"), None)
            if end is None or end == i + 1:
                continue
            value = span(i + 1, end - 1)
            if value == "false" and in_if(tokens, i):
                sites.append((tokens[i + 1].start, tokens[end - 1].end, "error-success", "true"))
            elif ERROR_VALUE.fullmatch(value.replace(" ", "")):
                sites.append((tokens[i + 1].start, tokens[end - 1].end, "error-success", "0"))
        elif s in ("if", "while", "for") and t.kind == "name":
            k = i + 1
            if k < len(tokens) and tokens[k].text == "constexpr":
                continue
            if k >= len(tokens) or tokens[k].text != "(":
                continue
            close = matching(tokens, k)
            if close is None or close == k + 1:
                continue
            a, b = k + 1, close  # condition tokens: a .. b-1
            semis = top_level(tokens, a, b, ";")
            if s == "for":
                if len(semis) != 2 or semis[1] == semis[0] + 1:
                    continue  # range-based, or no condition
                a, b = semis[0] + 1, semis[1]
            elif semis:  # after an init-statement
                a = semis[-1] + 1
            if a >= b:
                continue
            cond = span(a, b - 1)
            if is_declaration(tokens, a, b):
                if s == "if" and calls_something(tokens, a, b):
                    eq = next(j for j in range(a, b) if tokens[j].text == "=")
                    sites.append((tokens[eq + 1].start, tokens[b - 1].end, "check-removed", "{}"))
                continue
            sites.append((tokens[a].start, tokens[b - 1].end, "cond-negate", "!(%s)" % cond))
            if s == "if" and calls_something(tokens, a, b):
                sites.append((tokens[a].start, tokens[b - 1].end, "check-removed", "false"))
    return sites


# ---- Python sites (the generator) ----

def python_sites(text):
    lines = text.splitlines(keepends=True)
    offsets = [0]
    for line in lines:
        offsets.append(offsets[-1] + len(line))

    def at(position):
        return offsets[position[0] - 1] + position[1]

    tokens = [t for t in tokenize.generate_tokens(io.StringIO(text).readline)
              if t.type not in (tokenize.COMMENT,)]
    fstring = (getattr(tokenize, "FSTRING_START", None), getattr(tokenize, "FSTRING_END", None))
    sites, inside = [], 0
    starts = (tokenize.NEWLINE, tokenize.NL, tokenize.INDENT, tokenize.DEDENT)
    for i, t in enumerate(tokens):
        if t.type == fstring[0]:
            inside += 1
        elif t.type == fstring[1]:
            inside -= 1
        if inside:
            continue
        before = tokens[i - 1] if i else None
        if t.type == tokenize.OP and t.string in ("==", "!=", "<", "<=", ">", ">="):
            negated = {"==": "!=", "!=": "==", "<": ">=", "<=": ">", ">": "<=", ">=": "<"}[t.string]
            sites.append((at(t.start), at(t.end), "cmp-negate", negated))
            boundary = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}.get(t.string)
            if boundary:
                sites.append((at(t.start), at(t.end), "cmp-boundary", boundary))
        elif t.type == tokenize.NUMBER and re.fullmatch(r"\d+|0[xX][0-9a-fA-F]+", t.string):
            value = int(t.string, 0)
            if value == 0 or upward(t.line[:t.start[1]], t.line[t.start[1]:]):
                sites.append((at(t.start), at(t.end), "const-plus-one", str(value + 1)))
            else:
                sites.append((at(t.start), at(t.end), "const-minus-one", str(value - 1)))
        elif t.type == tokenize.NAME and t.string == "return" and i + 2 < len(tokens) and \
                tokens[i + 1].type == tokenize.NUMBER and tokens[i + 2].type == tokenize.NEWLINE \
                and tokens[i + 1].string != "0":
            sites.append((at(tokens[i + 1].start), at(tokens[i + 1].end), "error-success", "0"))
        elif t.type == tokenize.NAME and t.string in ("if", "elif", "while") and \
                (before is None or before.type in starts):
            depth, colon = 0, None
            for j in range(i + 1, len(tokens)):
                s = tokens[j].string
                if tokens[j].type == tokenize.OP and s in "([{":
                    depth += 1
                elif tokens[j].type == tokenize.OP and s in ")]}":
                    depth -= 1
                elif depth == 0 and tokens[j].type == tokenize.OP and s == ":":
                    colon = j
                    break
                elif s == "lambda":
                    break
            if colon is None or colon == i + 1:
                continue
            a, b = at(tokens[i + 1].start), at(tokens[colon - 1].end)
            cond = text[a:b]
            sites.append((a, b, "cond-negate", "not (%s)" % cond))
            if t.string != "while" and any(
                    tokens[j].type == tokenize.NAME and tokens[j + 1].string == "("
                    for j in range(i + 1, colon - 1)):
                sites.append((a, b, "check-removed", "False"))
    return sites


# ---- mutants ----

class Mutant:
    def __init__(self, path, text, start, end, op, repl):
        self.path, self.start, self.end, self.op, self.repl = path, start, end, op, repl
        self.line = text.count("\n", 0, start) + 1
        line_start = text.rfind("\n", 0, start) + 1
        line_end = text.find("\n", start)
        line = text[line_start:len(text) if line_end < 0 else line_end]
        # The lines that change, each run of spaces as one.
        last_end = text.find("\n", end)
        last_end = len(text) if last_end < 0 else last_end
        self.original = " ".join(text[line_start:last_end].split())
        self.mutated = " ".join((text[line_start:start] + repl + text[end:last_end]).split())
        self.layer = layer_of(path)
        # Stable across edits elsewhere: the file, the operator, the lines' text,
        # the column in the line after its indentation, the replacement, and
        # the occurrence among mutants with the same key.
        column = start - line_start - (len(line) - len(line.lstrip()))
        self.key = "\0".join((path, op, self.original, str(column), repl))
        self.id = None

    def apply(self, text):
        return text[:self.start] + self.repl + text[self.end:]

    def row(self):
        return [self.id, "%s:%d" % (self.path, self.line), self.layer, self.op,
                self.original, self.mutated]


def mutants_of(path):
    text = read_source(path)
    sites = python_sites(text) if path.endswith(".py") else cpp_sites(text)
    out, seen = [], {}
    for start, end, op, repl in sorted(set(sites)):
        m = Mutant(path, text, start, end, op, repl)
        index = seen.setdefault(m.key, 0)
        seen[m.key] += 1
        m.id = hashlib.sha1(("%s\0%d" % (m.key, index)).encode()).hexdigest()[:8]
        out.append(m)
    return out


def allocate(available, count):
    """How many mutants each layer gets: a floor of a twentieth of the sample
    each (all of a smaller layer), the rest in proportion to what is left."""
    if count >= sum(available.values()):
        return dict(available)
    floor = max(1, count // 20) if count >= len(available) else 0
    quota = {layer: min(n, floor) for layer, n in available.items()}
    rest = count - sum(quota.values())
    spare = {layer: available[layer] - quota[layer] for layer in available}
    total = sum(spare.values())
    if rest > 0 and total:
        shares = {layer: rest * spare[layer] / total for layer in available}
        for layer in available:
            quota[layer] += int(shares[layer])
        left = count - sum(quota.values())
        for layer in sorted(available, key=lambda l: shares[l] - int(shares[l]), reverse=True):
            if left <= 0:
                break
            if quota[layer] < available[layer]:
                quota[layer] += 1
                left -= 1
    return quota


def sample(candidates, count, seed):
    """Each layer's quota of its mutants, those ranked first by a hash of the
    seed and the mutant's id: a mutant's rank does not depend on the others."""
    by_layer = {}
    for m in candidates:
        by_layer.setdefault(m.layer, []).append(m)
    quota = allocate({layer: len(ms) for layer, ms in by_layer.items()}, count)

    def rank(m):
        return hashlib.sha1(("%d:%s" % (seed, m.id)).encode()).hexdigest()

    return [m for layer in sorted(by_layer)
            for m in sorted(by_layer[layer], key=rank)[:quota[layer]]]


# ---- the build tree and the tests ----

def run(command, timeout=None, **kwargs):
    """Runs a command in a session of its own, so that a signal a mutated test
    sends to its process group never reaches this script; on a timeout or an
    interrupt the whole group goes, tests that ctest started included."""
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          errors="replace", start_new_session=True, **kwargs) as child:
        try:
            out, _ = child.communicate(timeout=timeout)
        except BaseException:
            try:
                os.killpg(child.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            child.wait()
            raise
    return subprocess.CompletedProcess(command, child.returncode, out)


def configure(build, jobs, windows):
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        if windows:  # the mingw-w64 cross-build, its tests run under Wine
            generator.append("-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-w64-x86_64.cmake" % ROOT)
        print("configuring %s" % build, flush=True)
        result = run(["cmake", "-S", ROOT, "-B", build] + generator + [
            "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DNUVZUB_TESTS=ON", "-DNUVZUB_BENCHMARKS=OFF",
            "-DNUVZUB_FUZZ=OFF", "-DNUVZUB_SANITIZE=OFF", "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON",
            "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON", "-DCMAKE_C_FLAGS=", "-DCMAKE_CXX_FLAGS=",
            "-DCMAKE_EXE_LINKER_FLAGS=", "-DCMAKE_SHARED_LINKER_FLAGS="])
        if result.returncode != 0:
            sys.exit("mutate.py: cannot configure %s:\n%s" % (build, result.stdout))
    print("building %s (-j%d)" % (build, jobs), flush=True)
    result = build_tree(build, jobs)
    if result.returncode != 0:
        sys.exit("mutate.py: the unmutated tree does not build:\n%s" % result.stdout[-4000:])


def build_tree(build, jobs, targets=None, timeout=None):
    """Builds the targets, or the whole tree."""
    chosen = ["--target"] + targets if targets else []
    return run(["cmake", "--build", build, "-j%d" % jobs] + chosen, timeout=timeout)


def compiled_files(build):
    """The sources the build tree compiles, relative to the root."""
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    files = {os.path.relpath(os.path.realpath(e["file"]), os.path.realpath(ROOT)).replace(
        os.sep, "/") for e in entries}
    files.add(GENERATOR)
    return files


class Test:
    def __init__(self, number, name, command):
        self.number, self.name = number, name
        self.programs = {re.sub(r"\.exe$", "", os.path.basename(c)) for c in command[:2]}
        # The GoogleTest program that runs it, if any (after an emulator).
        programs = [c for c in command if not c.startswith("-")]
        self.program = re.sub(r"\.exe$", "", os.path.basename(programs[-1])) \
            if programs and "--gtest_filter=" + name in command else None

    def matches(self, pattern):
        return fnmatch.fnmatchcase(self.name, pattern) or any(
            fnmatch.fnmatchcase(p, pattern) for p in self.programs)


EXCLUDED = []  # ctest names (regular expressions) left out of every run, from --exclude


def list_tests(build):
    result = run(["ctest", "--show-only=json-v1"], cwd=build)
    tests = json.loads(result.stdout)["tests"]
    return [Test(k + 1, t["name"], t.get("command") or []) for k, t in enumerate(tests)
            if not any(re.search(x, t["name"]) for x in EXCLUDED)]


def covering(path, tests):
    for pattern, groups in COVERAGE:
        if fnmatch.fnmatch(path, pattern):
            return [t for t in tests if any(t.matches(g) for g in groups)]
    return []


FAILED = re.compile(r"^\s*(\d+) - (.+?) \((.+)\)\s*$")


def run_tests(build, tests, timeout, stop=True):
    """None when every test passed, else (name, status) of the first that failed."""
    if not tests:
        return None
    numbers = ",".join(str(t.number) for t in sorted(tests, key=lambda t: t.number))
    command = ["ctest", "-j1", "--timeout", str(timeout), "-I", "0,0,0," + numbers]
    if stop:
        command.append("--stop-on-failure")
    try:
        result = run(command, cwd=build, timeout=timeout * (len(tests) + 2))
    except subprocess.TimeoutExpired:
        return ("ctest", "Timeout")
    if result.returncode == 0:
        return None
    # The tests listed after ctest's FAILED heading; those that skipped
    # themselves are listed apart, as tests that did not run.
    lines = result.stdout.splitlines()
    heading = next((k for k, l in enumerate(lines) if l.startswith("The following tests FAILED")),
                   len(lines))
    failed = []
    for line in lines[heading + 1:]:
        m = FAILED.match(line)
        if not m:
            break
        failed.append(m)
    if not failed:
        return ("ctest", "exit status %d" % result.returncode)
    number, name, status = int(failed[0].group(1)), failed[0].group(2), failed[0].group(3)
    program = next((t.program for t in tests if t.number == number), None)
    return ("%s:%s" % (program, name) if program else name, status)


# ---- the source file under mutation, restored whatever happens ----

class Journal:
    """The mutated file's original text, kept in the build tree until it is
    restored, so that a run killed outright is repaired by the next one."""

    def __init__(self, build):
        self.path = os.path.join(build, "mutate-pending.json")

    def repair(self):
        if os.path.exists(self.path):
            with open(self.path, encoding="utf-8") as f:
                pending = json.load(f)
            write_source(pending["file"], pending["text"])
            os.remove(self.path)
            print("restored %s, left mutated by an interrupted run" % pending["file"], flush=True)

    def hold(self, path, text):
        with open(self.path + ".tmp", "w", encoding="utf-8") as f:
            json.dump({"file": path, "text": text}, f)
        os.replace(self.path + ".tmp", self.path)

    def release(self):
        if os.path.exists(self.path):
            os.remove(self.path)


def read_source(path):
    with open(os.path.join(ROOT, path), encoding="utf-8", newline="") as f:
        return f.read()


def write_source(path, text):
    # A fresh modification time, so that the next build recompiles the file.
    with open(os.path.join(ROOT, path), "w", encoding="utf-8", newline="") as f:
        f.write(text)


def terminate(signum, frame):
    raise KeyboardInterrupt


def first_error(output):
    """The line of a failed build that says why."""
    lines = output.splitlines()
    for pattern in (r"error|generate\.py:", r"FAILED|Error"):
        found = [l for l in lines if re.search(pattern, l)]
        if found:
            return found[0].strip()[:200]
    return lines[-1].strip()[:200] if lines else ""


def test_mutant(m, args, journal):
    """Fate and killer of one mutant; the source is restored on return.

    The tests that cover the file run first, then the rest. A generator
    mutant first builds only what those tests need: the whole tree would
    recompile every includer of the generated headers."""
    original = read_source(m.path)
    journal.hold(m.path, original)
    try:
        write_source(m.path, m.apply(original))
        stages = [None]
        if m.path == GENERATOR:
            programs = {t.program for t in covering(m.path, list_tests(args.build)) if t.program}
            stages.insert(0, ["NUVZubCatalogue", "zubexc"] + sorted(programs))
        ran = set()
        for targets in stages:
            try:
                built = build_tree(args.build, args.jobs, targets, timeout=args.build_timeout)
            except subprocess.TimeoutExpired:
                return "build-failed", "build timed out"
            if built.returncode != 0:
                return "build-failed", first_error(built.stdout)
            # Listed again after each build: a rebuilt test program may list other cases.
            tests = list_tests(args.build)
            first = [t for t in covering(m.path, tests) if t.name not in ran]
            groups = [first]
            if targets is None and not args.only_mapped:
                groups.append([t for t in tests if t not in first and t.name not in ran])
            for group in groups:
                failed = run_tests(args.build, group, args.timeout)
                if failed:
                    name, status = failed
                    fate = "timeout" if "Timeout" in status else "killed"
                    return fate, "%s (%s)" % (name, status)
                ran.update(t.name for t in group)
        return "survived", ""
    finally:
        write_source(m.path, original)
        journal.release()


# ---- tables ----

def read_table(path):
    rows = []
    with open(path, encoding="utf-8") as f:
        header = None
        for line in f:
            cells = line.rstrip("\n").split("\t")
            if header is None:
                header = cells
                continue
            if len(cells) == len(header):
                rows.append(dict(zip(header, cells)))
    return rows


def clean(cell):
    return str(cell).replace("\t", " ").replace("\n", " ")


def summary(rows, out=sys.stdout):
    """Counts by fate and layer, the kill rate and the survivors, as Markdown."""
    layers = sorted({r["layer"] for r in rows})
    count = {(l, f): sum(r["layer"] == l and r["fate"] == f for r in rows)
             for l in layers for f in FATES}
    print("| layer | mutants | killed | timeout | survived | build-failed | kill rate |", file=out)
    print("|---|---:|---:|---:|---:|---:|---:|", file=out)

    def line(name, c):
        valid = c["killed"] + c["timeout"] + c["survived"]
        rate = "%.1f%%" % (100.0 * (c["killed"] + c["timeout"]) / valid) if valid else "-"
        print("| %s | %d | %d | %d | %d | %d | %s |" % (
            name, sum(c.values()), c["killed"], c["timeout"], c["survived"], c["build-failed"],
            rate), file=out)

    for l in layers:
        line(l, {f: count[(l, f)] for f in FATES})
    line("all", {f: sum(count[(l, f)] for l in layers) for f in FATES})
    seconds = [float(r["seconds"]) for r in rows if r.get("seconds")]
    if seconds:
        print("\n%d mutants in %.0f min, %.0f s per mutant on average." % (
            len(seconds), sum(seconds) / 60, sum(seconds) / len(seconds)), file=out)
    survivors = [r for r in rows if r["fate"] == "survived"]
    if survivors:
        print("\nSurvivors:\n\n| id | where | operator | original | mutated |\n|---|---|---|---|---|",
              file=out)
        for r in survivors:
            print("| %s | %s | %s | `%s` | `%s` |" % (
                r["id"], r["where"], r["operator"], r["original"].replace("|", "\\|"),
                r["mutated"].replace("|", "\\|")), file=out)


def compare(before, after):
    old = {r["id"]: r for r in before}
    lost = [r for r in after if r["id"] in old and old[r["id"]]["fate"] in ("killed", "timeout")
            and r["fate"] == "survived"]
    gained = [r for r in after if r["id"] in old and old[r["id"]]["fate"] == "survived"
              and r["fate"] in ("killed", "timeout")]
    killed = [sum(r["fate"] in ("killed", "timeout") for r in rows) for rows in (before, after)]
    print("\nAgainst the baseline: killed %d before, %d now; %d no longer killed, %d newly killed."
          % (killed[0], killed[1], len(lost), len(gained)))
    for r in lost:
        print("  no longer killed: %s %s %s: %s -> %s (was %s)" % (
            r["id"], r["where"], r["operator"], r["original"], r["mutated"],
            old[r["id"]]["killer"]))
    return not lost


# ---- main ----

def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0], epilog=__doc__.split(
        "\n\n", 1)[1], formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--file", action="append", default=[],
                    help="mutate only this file (a path from the root; may repeat)")
    ap.add_argument("--layer", action="append", default=[],
                    help="mutate only this layer: base, platform, utt, catalogue, entry, tools")
    ap.add_argument("--count", type=int, default=20, help="mutants in the sample (default 20)")
    ap.add_argument("--id", action="append", default=[],
                    help="run only the mutant of this id (from a table or --list; may repeat)")
    ap.add_argument("--seed", type=int, default=1, help="the sample's random seed (default 1)")
    ap.add_argument("--jobs", type=int, default=1, help="build jobs (default 1)")
    ap.add_argument("--timeout", type=int, default=60, help="seconds per test (default 60)")
    ap.add_argument("--build-timeout", type=int, default=1800, help="seconds per build")
    ap.add_argument("--build", help="the build tree (default build/mutation, with --windows "
                    "build/mutation-win)")
    ap.add_argument("--windows", action="store_true",
                    help="mutate the Windows-only sources in a mingw-w64 tree, tests under Wine")
    ap.add_argument("--out", help="the table to write (default BUILD/mutants.tsv)")
    ap.add_argument("--list", action="store_true", help="print the sample and stop")
    ap.add_argument("--baseline", help="run the mutants of this earlier table and compare")
    ap.add_argument("--resume", action="store_true",
                    help="skip the mutants already in the table and append to it")
    ap.add_argument("--only-mapped", action="store_true",
                    help="run only the tests mapped to the file, not the rest of the suite")
    ap.add_argument("--headers", action="store_true", help="mutate headers too")
    ap.add_argument("--exclude", action="append", default=[], metavar="REGEX",
                    help="leave out the tests whose ctest name matches (one that fails unmutated)")
    ap.add_argument("--summary", metavar="TABLE", help="print a table's summary and stop")
    args = ap.parse_args()
    EXCLUDED.extend(args.exclude)

    if args.summary or args.list:  # a reader such as head may stop early
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    if args.summary:
        summary(read_table(args.summary))
        return 0
    args.build = os.path.abspath(args.build or os.path.join(
        ROOT, "build", "mutation-win" if args.windows else "mutation"))
    args.out = args.out or os.path.join(args.build, "mutants.tsv")
    journal = Journal(args.build)
    if not args.list:
        os.makedirs(args.build, exist_ok=True)
        # One run per build tree: another would rebuild and restore under it.
        lock = open(os.path.join(args.build, "mutate.lock"), "w")
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            sys.exit("mutate.py: another run is using %s" % args.build)
        journal.repair()
        configure(args.build, args.jobs, args.windows)
    compiled = compiled_files(args.build) if os.path.exists(
        os.path.join(args.build, "compile_commands.json")) else None

    files = code_files(args.headers)
    if args.file:
        wanted = {os.path.relpath(os.path.abspath(f), ROOT).replace(os.sep, "/") if os.path.exists(f)
                  else f for f in args.file}
        unknown = wanted - set(code_files(True))
        if unknown:
            sys.exit("mutate.py: not a code file of the library: %s" % ", ".join(sorted(unknown)))
        files = sorted(wanted)
    elif args.windows:
        files = [f for f in files if any(fnmatch.fnmatch(f, w) for w in WINDOWS_ONLY)]
    if args.layer:
        files = [f for f in files if layer_of(f) in args.layer]
    headers = [f for f in files if f.endswith(".h")]
    if compiled is not None:
        skipped = [f for f in files if f not in compiled and f not in headers]
        if skipped:
            print("not compiled in this build tree, left out: %s" % " ".join(skipped),
                  file=sys.stderr)
        files = [f for f in files if f in compiled or f in headers]
    candidates = [m for f in files for m in mutants_of(f)]

    if args.baseline:
        before = read_table(args.baseline)
        by_id = {m.id: m for m in candidates}
        chosen = [by_id[r["id"]] for r in before if r["id"] in by_id]
        gone = [r["id"] for r in before if r["id"] not in by_id and
                (not files or r["where"].split(":")[0] in files)]
        if gone:
            print("%d mutants of the baseline no longer apply: %s" % (len(gone), " ".join(gone)))
    else:
        chosen = sample(candidates, args.count, args.seed)
    if args.id:
        chosen = [m for m in candidates if m.id in args.id]
    chosen.sort(key=lambda m: (m.path, m.start, m.op, m.repl))  # one file's rebuilds together
    print("%d mutants of %d candidates in %d files" % (len(chosen), len(candidates), len(files)),
          file=sys.stderr)
    if args.list:
        print("\t".join(COLUMNS[:6]))
        for m in chosen:
            print("\t".join(clean(c) for c in m.row()))
        return 0

    done = set()
    if args.resume and os.path.exists(args.out):
        done = {r["id"] for r in read_table(args.out)}
    else:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write("\t".join(COLUMNS) + "\n")

    tests = list_tests(args.build)
    check = sorted({t for m in chosen for t in covering(m.path, tests)}, key=lambda t: t.number) \
        if args.only_mapped else tests
    print("running %d tests on the unmutated tree" % len(check), flush=True)
    failed = run_tests(args.build, check, args.timeout, stop=False)
    if failed:
        sys.exit("mutate.py: a test fails without any mutation: %s (%s); fix it first, or leave "
                 "it out with --exclude" % failed)

    # Stopped like a Ctrl-C, also when started in the background (which ignores SIGINT).
    signal.signal(signal.SIGTERM, terminate)
    signal.signal(signal.SIGINT, terminate)
    started = time.time()
    try:
        for k, m in enumerate(chosen, 1):
            if m.id in done:
                continue
            t0 = time.time()
            fate, killer = test_mutant(m, args, journal)
            seconds = time.time() - t0
            row = m.row() + [fate, killer, "%.0f" % seconds]
            with open(args.out, "a", encoding="utf-8") as f:
                f.write("\t".join(clean(c) for c in row) + "\n")
            print("[%d/%d] %s %s:%d %s: %s -> %s: %s %s (%.0f s)" % (
                k, len(chosen), m.id, m.path, m.line, m.op, m.original, m.mutated, fate, killer,
                seconds), flush=True)
    except KeyboardInterrupt:
        print("interrupted; the source is restored, the table holds what ran", flush=True)
        return 130
    finally:
        print("rebuilding the unmutated tree", flush=True)
        build_tree(args.build, args.jobs)
        if args.windows:  # Wine's server outlives the tests
            run([os.path.join(ROOT, "cmake", "wine-run.sh"), os.path.join(args.build, "wine"),
                 "--kill"])
    print("%d mutants in %.0f min\n" % (len(chosen), (time.time() - started) / 60))
    rows = read_table(args.out)
    summary(rows)
    if args.baseline:
        return 0 if compare(read_table(args.baseline), rows) else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
