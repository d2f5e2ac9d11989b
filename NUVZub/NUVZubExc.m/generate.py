#!/usr/bin/env python3
"""Generates the exception catalogue's C++ classes from its data files.

Each data file (data/<Family>.toml) lists one family's classes: name, code,
optional base, constructor parameters (getter name and type), optional
substitution order, message template, and the classes it shares its code
with (a code is unique otherwise). Data that breaks a rule of the catalogue
(names, types, capacities, codes, bases, messages) is refused with a line
naming the file, the class and the rule, and exit status 1; within a family,
a base is emitted before the classes derived from it. Output, under --out:
  include/NUVZub/NUVZubExc<Family>.h   one header per family
  include/NUVZub/NUVZubExcCatalogue.h  all families
  src/NUVZubExc<Family>.cpp            the out-of-line members
  src/NUVZubExcTableData.cpp           the catalogue described as data
With --cases FILE it writes a test source that builds every class from
sample values; with --docs FILE the reference page; --check-docs FILE
fails when that page differs from the data. Files are rewritten only when
their text changes.
"""
import argparse
import glob
import os
import re
import sys
import tomllib

ROOT_BASE = "NUVBasException"
# Catalogue rules: the codes' range, the text fields' capacities, and the most
# values that a message's formatting takes.
CODES = (1001, 1840)
CAPACITIES = (10, 32, 64, 1024)
MAX_PARAMS = 9

# Data type -> (C++ field type, header, how the value is substituted)
SCALARS = {
    "int": "int",
    "unsigned": "unsigned int",
    "int64": "long long",
    "uint64": "unsigned long long",
    "float": "float",
    "double": "double",
    "bool": "bool",
    "const char*": "const char*",
}
VALUE_TYPES = {
    "NUVBasSystemError": "<NUVBas/NUVBasException.h>",
    "NUVZubUttSerParserError": "<NUVZub/NUVZubUttSerErrors.h>",
    "NUVZubUttSerParserPlace": "<NUVZub/NUVZubUttSerErrors.h>",
    "NUVZubUttSerSystemError": "<NUVZub/NUVZubUttSerErrors.h>",
}
# Words a constructor argument cannot be named, so it takes a trailing
# underscore: the keywords and alternative tokens of C++ (to C++20), and the
# lower-case object-like macros of the C runtimes, of GNU mode and of windows.h.
CPP_KEYWORDS = set("""
    alignas alignof and and_eq asm auto bitand bitor bool break case catch char char8_t
    char16_t char32_t class compl concept const const_cast consteval constexpr constinit
    continue co_await co_return co_yield decltype default delete do double dynamic_cast else
    enum explicit export extern false float for friend goto if inline int long mutable
    namespace new noexcept not not_eq nullptr operator or or_eq private protected public
    register reinterpret_cast requires return short signed sizeof static static_assert
    static_cast struct switch template this thread_local throw true try typedef typeid
    typename union unsigned using virtual void volatile wchar_t while xor xor_eq
    """.split())
MACROS = {"errno", "stdin", "stdout", "stderr", "linux", "unix", "interface", "small", "near",
          "far", "pascal", "cdecl", "hyper"}

# Names: ASCII letters and digits, words joined by single underscores (two in a
# row are reserved to the implementation).
WORDS = r"[A-Za-z0-9]+(?:_[A-Za-z0-9]+)*"
CLASS_NAME = re.compile("NUVZubExc" + WORDS)
GETTER = re.compile("Get[A-Z][A-Za-z0-9]*(?:_[A-Za-z0-9]+)*")
FAMILY = re.compile("[A-Z][A-Za-z0-9]*")
STRING_TYPE = re.compile(r"string\(([0-9]+)\)")
# Names taken by the library's own catalogue types, and by the generated files
# that are not a family's (compared ignoring case, as Windows names files).
RESERVED_CLASSES = {"NUVZubExcTable", "NUVZubExcClassInfo", "NUVZubExcFamilyInfo",
                    "NUVZubExcParamInfo"}
RESERVED_FAMILIES = {"catalogue", "table", "tabledata"}
# Members that every exception has: a getter of that name would clash or hide them.
RESERVED_GETTERS = {"GetCode", "GetSourceFile", "GetSourceLine"}
FILE_KEYS = {"family", "title", "exception"}
CLASS_KEYS = {"name", "code", "base", "params", "order", "message", "shares_code_with"}


class Refused(Exception):
    """Catalogue data that breaks a rule: where, which class, and the rule."""

    def __init__(self, path, rule, cls=None):
        super().__init__("%s: %s%s" % (path, "class %s: " % cls if cls else "", rule))


def control_characters(text, allowed=""):
    """The control characters of `text` (C0, DEL and C1) other than `allowed`, in order."""
    return [ch for ch in text if (ord(ch) < 0x20 or 0x7F <= ord(ch) <= 0x9F) and ch not in allowed]


class Param:
    def __init__(self, getter, kind):
        if not GETTER.fullmatch(getter):
            raise ValueError("getter %r is not Get followed by a capital letter, then letters, "
                             "digits and single underscores" % getter)
        if getter in RESERVED_GETTERS:
            raise ValueError("getter %s would clash with the member of that name that every "
                             "exception has" % getter)
        self.getter = getter
        self.kind = kind
        stem = getter[3:]
        self.field = "m_" + stem
        name = stem[0].lower() + stem[1:]
        self.arg = name + "_" if name in CPP_KEYWORDS or name in MACROS else name
        string = STRING_TYPE.fullmatch(kind)
        if string:
            capacity = int(string.group(1))
            if capacity not in CAPACITIES:
                raise ValueError("%s: a text field's capacity is one of %s, not %d" % (
                    getter, ", ".join(map(str, CAPACITIES)), capacity))
            self.cpp = "NUVZubUttExceptionString<%d>" % capacity
            self.text = True
        elif kind in SCALARS:
            self.cpp = SCALARS[kind]
            self.text = False
        elif kind in VALUE_TYPES:
            self.cpp = kind
            self.text = True
        else:
            raise ValueError("%s: unknown parameter type %r; types are string(N), %s" % (
                getter, kind, ", ".join(list(SCALARS) + list(VALUE_TYPES))))

    def value(self):
        """The expression substituted into the message."""
        return self.field + ".AsString()" if self.text else self.field


def cpp_string(text):
    """A C++ literal holding the UTF-8 bytes of `text`. Other bytes than printable
    ASCII are three-digit octal escapes, which end after their third digit, so no
    following character can join them (a hex escape takes every hex digit)."""
    out = []
    for byte in text.encode("utf-8"):
        ch = chr(byte)
        if ch == "\\":
            out.append("\\\\")
        elif ch == '"':
            out.append('\\"')
        elif ch == "\n":
            out.append("\\n")
        elif byte < 0x20 or byte > 0x7E:
            out.append("\\%03o" % byte)
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def comment_text(text):
    """One line of text for a comment: control characters become spaces, and
    no backslash ends it (that would continue the comment on the next line)."""
    return "".join(" " if ord(ch) < 0x20 or ord(ch) == 0x7F else ch for ch in text).rstrip("\\")


def load(data_dir):
    """Every family of the data directory, its classes as the data lists them."""
    paths = sorted(glob.glob(os.path.join(data_dir, "*.toml")))
    if not paths:
        raise Refused(data_dir, "holds no data file (*.toml)")
    return [load_family(path) for path in paths]


def load_family(path):
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as e:
        raise Refused(path, "cannot be read: %s" % (e.strerror or e))
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as e:
        raise Refused(path, "is not valid TOML: %s" % e)
    unknown = sorted(set(data) - FILE_KEYS)
    if unknown:
        raise Refused(path, "unknown key %r; a data file has family, title and exception" %
                      unknown[0])
    name = data.get("family")
    stem = os.path.splitext(os.path.basename(path))[0]
    if not isinstance(name, str) or not FAMILY.fullmatch(name):
        raise Refused(path, "family %r is not a name: a capital letter, then letters and digits"
                      % (name,))
    if name != stem:
        raise Refused(path, "family %s must be named as its file, %s" % (name, stem))
    if name.lower() in RESERVED_FAMILIES:
        raise Refused(path, "family %s would take the name of another generated file, "
                      "NUVZubExc%s" % (name, name))
    title = data.get("title")
    if not isinstance(title, str) or not title or control_characters(title):
        raise Refused(path, "title must be one line of text")
    entries = data.get("exception")
    if not isinstance(entries, list) or not entries or \
            not all(isinstance(e, dict) for e in entries):
        raise Refused(path, "a data file lists its classes, at least one, as [[exception]] tables")
    family = {"name": name, "title": title, "path": path, "classes": []}
    family["classes"] = [load_class(family, entry, k) for k, entry in enumerate(entries)]
    return family


def load_class(family, entry, index):
    path, name = family["path"], entry.get("name")
    if not isinstance(name, str):
        raise Refused(path, "has no name (a text)", "number %d" % (index + 1))
    if not CLASS_NAME.fullmatch(name):
        raise Refused(path, "a class name is NUVZubExc followed by ASCII letters and digits, "
                      "words joined by single underscores", repr(name))

    def refuse(rule):
        return Refused(path, rule, name)

    if name in RESERVED_CLASSES:
        raise refuse("the name is taken by the library's own catalogue type")
    unknown = sorted(set(entry) - CLASS_KEYS)
    if unknown:
        raise refuse("unknown key %r; a class has %s" % (unknown[0], ", ".join(sorted(CLASS_KEYS))))
    code = entry.get("code")
    if type(code) is not int or not CODES[0] <= code <= CODES[1]:
        raise refuse("code %r is not a whole number from %d to %d" % ((code,) + CODES))
    base = entry.get("base", ROOT_BASE)
    if not isinstance(base, str):
        raise refuse("base must be a class name")
    pairs = entry.get("params", [])
    if not isinstance(pairs, list) or not all(
            isinstance(p, list) and len(p) == 2 and all(isinstance(x, str) for x in p)
            for p in pairs):
        raise refuse("params must be a list of [getter, type] pairs of texts")
    try:
        params = [Param(g, t) for g, t in pairs]
    except ValueError as e:
        raise refuse(str(e))
    by_getter = {}
    for p in params:
        if by_getter.setdefault(p.getter, p) is not p:
            raise refuse("parameter %s is listed twice" % p.getter)
    if len(params) > MAX_PARAMS:
        raise refuse("%d parameters; a message takes at most %d values" % (len(params), MAX_PARAMS))
    order = entry.get("order")
    if order is not None:
        if not isinstance(order, list) or not all(isinstance(g, str) for g in order) or \
                sorted(order) != sorted(by_getter):
            raise refuse("order must list every parameter's getter once")
        order = [by_getter[g] for g in order]
    message = entry.get("message")
    if not isinstance(message, str):
        raise refuse("has no message (a text)")
    if "\0" in message:
        raise refuse("the message holds a NUL character, at which C would cut it")
    controls = control_characters(message, "\n\t")
    if controls:
        raise refuse("the message holds the control character U+%04X; a message is text, line "
                     "feeds and tabs" % ord(controls[0]))
    shares = entry.get("shares_code_with", [])
    if not isinstance(shares, list) or not all(isinstance(n, str) for n in shares):
        raise refuse("shares_code_with must be a list of class names")
    return {
        "name": name,
        "code": code,
        "base": base,
        "params": params,
        "order": order or params,
        "message": message,
        "shares": shares,
        "family": family["name"],
        "title": family["title"],
        "path": path,
    }


def check(families):
    """The catalogue's rules across classes and files. Orders each family's
    classes so that a base comes before the classes derived from it, and
    returns every class by name."""
    classes = {}
    seen_families = {}
    for f in families:
        other = seen_families.setdefault(f["name"].lower(), f)
        if other is not f:
            raise Refused(f["path"], "family %s differs only in case from family %s (%s)" % (
                f["name"], other["name"], other["path"]))
        for c in f["classes"]:
            other = classes.setdefault(c["name"], c)
            if other is not c:
                raise Refused(c["path"], "defined twice; it is also at %s" % other["path"],
                              c["name"])
    check_codes(classes)
    for c in classes.values():
        check_base(c, classes)
    check_family_bases(families, classes)
    for f in families:
        f["classes"] = bases_first(f["classes"], classes)
    return classes


def check_codes(classes):
    by_code = {}
    for c in classes.values():
        by_code.setdefault(c["code"], []).append(c)
    for c in classes.values():
        others = [o["name"] for o in by_code[c["code"]] if o is not c]
        for name in c["shares"]:
            if name not in others:
                raise Refused(c["path"], "shares_code_with names %s, which does not have code %d"
                              % (name, c["code"]), c["name"])
        for name in others:
            if name not in c["shares"]:
                raise Refused(c["path"], "code %d is also %s's; a code is unique unless the "
                              "classes that share it name each other in shares_code_with" % (
                                  c["code"], name), c["name"])


def check_base(c, classes):
    def refuse(rule):
        return Refused(c["path"], rule, c["name"])

    c["base_args"] = []
    if c["base"] == ROOT_BASE:
        return
    chain = [c["name"]]
    base = classes.get(c["base"])
    while base is not None and base["name"] not in chain:
        chain.append(base["name"])
        base = classes.get(base["base"])
    if base is not None:
        chain.append(base["name"])
        raise refuse("its bases form a cycle: " + " -> ".join(chain[chain.index(base["name"]):]))
    base = classes.get(c["base"])
    if base is None:
        raise refuse("unknown base %s" % c["base"])
    mine = {p.getter: p for p in c["params"]}
    for bp in base["params"]:
        if bp.getter not in mine or mine[bp.getter].kind != bp.kind:
            raise refuse("base parameter %s not among its own" % bp.getter)
    c["base_args"] = [mine[bp.getter].arg for bp in base["params"]]


def check_family_bases(families, classes):
    """A family's header includes the headers of its bases' families, so no
    family may reach itself that way: two headers that include each other
    cannot both be compiled."""
    via = {f["name"]: {} for f in families}  # family -> {its bases' family: first class}
    for f in families:
        for c in f["classes"]:
            base = classes.get(c["base"])
            if base is not None and base["family"] != f["name"]:
                via[f["name"]].setdefault(base["family"], c)
    for f in families:
        start, parent, todo = f["name"], {}, [f["name"]]
        while todo:
            here = todo.pop(0)
            for there in via[here]:
                if there == start:
                    loop = [here]
                    while loop[-1] != start:
                        loop.append(parent[loop[-1]])
                    loop = loop[::-1] + [start]
                    c = via[start][loop[1]]
                    raise Refused(c["path"], "derives from %s of family %s, and the families "
                                  "derive from each other (%s): their headers would include "
                                  "each other" % (c["base"], loop[1], " -> ".join(loop)),
                                  c["name"])
                if there not in parent:
                    parent[there] = here
                    todo.append(there)


def bases_first(ordered, classes):
    """The classes in their order, except that a base of the same family is
    moved to just before the first class derived from it."""
    placed, out = set(), []
    for c in ordered:
        chain, link = [], c
        while link is not None and link["name"] not in placed:
            chain.append(link)
            base = classes.get(link["base"])
            link = base if base is not None and base["family"] == c["family"] else None
        for link in reversed(chain):
            placed.add(link["name"])
            out.append(link)
    return out


def write_if_changed(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    except FileNotFoundError:
        pass
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def header(family, classes):
    fam = family["name"]
    includes = {"<NUVBas/NUVBasException.h>", "<NUVZub/NUVZubUttExceptionString.h>",
                "<NUVZubPlatform/Export.h>"}
    for c in family["classes"]:
        for p in c["params"]:
            if p.kind in VALUE_TYPES:
                includes.add(VALUE_TYPES[p.kind])
        base = classes.get(c["base"])
        if base is not None and base["family"] != fam:
            includes.add("<NUVZub/NUVZubExc%s.h>" % base["family"])
    out = ["// Generated from data/%s.toml by generate.py; edit the data, not this file." % fam,
           "// %s." % family["title"], "#pragma once", ""]
    out += ["#include %s" % i for i in sorted(includes)]
    out.append("")
    for c in family["classes"]:
        n = c["name"]
        out.append("/// Code %d: %s" % (c["code"], comment_text(c["message"][:200])))
        out.append("class NUVZUB_API %s : public %s {" % (n, c["base"]))
        out.append("public:")
        if c["params"]:
            args = ", ".join("%s %s" % (p.cpp, p.arg) for p in c["params"])
            out.append("    %s%s(%s);" % ("explicit " if len(c["params"]) == 1 else "", n, args))
        else:
            out.append("    %s();" % n)
        out.append("    %s(const %s&) = default;" % (n, n))
        out.append("    ~%s() override;" % n)
        out.append("")
        for p in c["params"]:
            out.append("    %s %s() const { return %s; }" % (p.cpp, p.getter, p.field))
        out.append("    int GetCode() const override;")
        out.append("    atr_String AsString(NUVBasStringMode mode) const override;")
        out.append("    NUVBasException* Clone() const override;")
        out.append("    NUVZUB_KEEP_FRAME void Propagate() const override;")
        if c["params"]:
            out.append("")
            out.append("private:")
            for p in c["params"]:
                out.append("    %s %s;" % (p.cpp, p.field))
        out.append("};")
        out.append("")
    return "\n".join(out)


def source(family):
    fam = family["name"]
    out = ["// Generated from data/%s.toml by generate.py; edit the data, not this file." % fam,
           "#include <NUVZub/NUVZubExc%s.h>" % fam, "",
           "#include <NUVZub/NUVZubUttAssert.h>", "", "#include <new>", ""]
    for c in family["classes"]:
        n = c["name"]
        if c["params"]:
            args = ", ".join("%s %s" % (p.cpp, p.arg) for p in c["params"])
            inits = []
            if c["base_args"]:
                inits.append("%s(%s)" % (c["base"], ", ".join(c["base_args"])))
            inits += ["%s(%s)" % (p.field, p.arg) for p in c["params"]]
            out.append("%s::%s(%s)\n    : %s {}" % (n, n, args, ", ".join(inits)))
        else:
            out.append("%s::%s() = default;" % (n, n))
        out.append("%s::~%s() = default;" % (n, n))
        out.append("int %s::GetCode() const { return %d; }" % (n, c["code"]))
        values = "".join(p.value() + ", " for p in c["order"])
        out.append("atr_String %s::AsString(NUVBasStringMode) const {" % n)
        out.append("    return atr(%s, %sNUVBasStringMode(false));" % (cpp_string(c["message"]), values))
        out.append("}")
        out.append("NUVBasException* %s::Clone() const {" % n)
        out.append("    void* storage = %s::operator new(sizeof(%s));" % (n, n))
        out.append("    return storage ? new (storage) %s(*this) : nullptr;" % n)
        out.append("}")
        out += report_parameters(c)
        out.append("void %s::Propagate() const {" % n)
        out.append("    if (NUVZubUttAssert::IsReporting())")
        out.append("        NUVZubUttAssert::ReportPropagation(*this, %s, %s);" % (
            cpp_string(n), "&ReportParametersOf%s" % n if c["params"] else "nullptr"))
        out.append("    throw %s(*this);" % n)
        out.append("}")
        out.append("")
    return "\n".join(out)


# Parameter type -> how its value goes into a JSON report.
REPORT_WRITERS = {"int": "Integer", "int64": "Integer", "unsigned": "Unsigned",
                  "uint64": "Unsigned", "float": "Real", "double": "Real", "bool": "Boolean",
                  "const char*": "Text"}


def report_parameters(c):
    """The function that writes a class's parameters by name (the getter's name
    without Get, first letter lowered) for its JSON report."""
    if not c["params"]:
        return []
    n = c["name"]
    out = ["namespace {",
           "void ReportParametersOf%s(const NUVBasException& e, NUVZubUttReportParameters& out) {" % n,
           "    const %s& x = static_cast<const %s&>(e);" % (n, n)]
    for p in c["params"]:
        stem = p.getter[3:]
        name = cpp_string(stem[0].lower() + stem[1:])
        value = "x.%s()" % p.getter
        if p.kind in REPORT_WRITERS:
            out.append("    out.%s(%s, %s);" % (REPORT_WRITERS[p.kind], name, value))
        else:
            out.append("    out.Text(%s, %s.AsString());" % (name, value))
    out += ["}", "} // namespace"]
    return out


def umbrella(families):
    out = ["// Generated by generate.py: every family of the exception catalogue.", "#pragma once", ""]
    out += ["#include <NUVZub/NUVZubExc%s.h>" % f["name"] for f in families]
    return "\n".join(out) + "\n"


def by_code(families):
    return sorted((c for f in families for c in f["classes"]), key=lambda c: (c["code"], c["name"]))


def table_source(families):
    """The catalogue as constant data for the library's lookups, sorted by code."""
    ordered = by_code(families)
    params, orders, rows = [], [], []
    for c in ordered:
        first = len(params) - sum(1 for line in params if line.startswith("    //"))
        if c["params"]:
            params.append("    // %s" % c["name"])
        params += ["    {%s, %s}," % (cpp_string(p.getter), cpp_string(p.cpp)) for p in c["params"]]
        order = "nullptr"
        if c["order"] is not c["params"]:
            order = "kOrders + %d" % len(orders)
            orders += [c["params"].index(p) for p in c["order"]]
        rows.append("    {%s, %s, %s, %d, %d, %s, %s,\n     %s}," % (
            cpp_string(c["name"]), cpp_string(c["family"]), cpp_string(c["base"]), c["code"],
            len(c["params"]), "kParams + %d" % first if c["params"] else "nullptr", order,
            cpp_string(c["message"])))
    out = ["// Generated from data/*.toml by generate.py; edit the data, not this file.",
           "#include \"NUVZubExcTableData.h\"", "", "namespace {",
           "const NUVZubExcParamInfo kParams[] = {"] + params + ["};",
           "const unsigned char kOrders[] = {%s};" % ", ".join(str(i) for i in orders),
           "} // namespace", "",
           "const NUVZubExcFamilyInfo g_NUVZubExcFamilies[] = {"]
    out += ["    {%s, %s}," % (cpp_string(f["name"]), cpp_string(f["title"])) for f in families]
    out += ["};", "const int g_NUVZubExcFamilyCount = %d;" % len(families), "",
            "const NUVZubExcClassInfo g_NUVZubExcClasses[] = {"] + rows
    out += ["};", "const int g_NUVZubExcClassCount = %d;" % len(ordered), ""]
    return "\n".join(out)


SAMPLES = {
    "int": lambda i: str(100 + i),
    "unsigned": lambda i: "%du" % (3000000000 + i),
    "int64": lambda i: "%dLL" % (-5000000000 - i),
    "uint64": lambda i: "%dULL" % (18000000000000000000 + i),
    "float": lambda i: "%.2ff" % (1.5 + i),
    "double": lambda i: "%.2f" % (-2.25 + i),
    "bool": lambda i: "true",
    "NUVBasSystemError": lambda i: "NUVBasSystemError(13)",
    "NUVZubUttSerParserError": lambda i: "SampleParserError()",
    "NUVZubUttSerParserPlace": lambda i: "SampleParserPlace()",
    "NUVZubUttSerSystemError": lambda i: "SampleSerSystemError()",
}


def sample(p, index):
    """A value for parameter `index` that differs from its neighbours and names its getter."""
    if p.kind.startswith("string("):
        return cpp_string("<%s>" % p.getter[3:])
    if p.kind == "const char*":
        return cpp_string("text of %s" % p.getter[3:])
    return SAMPLES[p.kind](index)


def cases_source(families):
    """Every class built from sample values, with typed views for table-driven tests."""
    ordered = by_code(families)
    out = ["// Generated from data/*.toml by generate.py --cases; edit the data, not this file.",
           "#include \"CatalogueCases.h\"", "", "#include <NUVZub/NUVZubExcCatalogue.h>", ""]
    for c in ordered:
        if not c["params"]:
            out.append("Getters GettersOf(const %s&) { return {}; }" % c["name"])
            continue
        out.append("Getters GettersOf(const %s& x) {" % c["name"])
        out.append("    return {" + ",\n            ".join(
            "Show(%s, x.%s())" % (cpp_string(p.getter), p.getter) for p in c["params"]) + "};")
        out.append("}")
    out += ["", "const CatalogueCase kCatalogueCases[] = {"]
    for c in ordered:
        n = c["name"]
        values = ", ".join(sample(p, i) for i, p in enumerate(c["params"]))
        derived = c["base"] != ROOT_BASE
        out.append("    {%s, %d, %s," % (cpp_string(n), c["code"], cpp_string(c["base"])))
        out.append("     []() -> NUVBasException* { return new %s(%s); }," % (n, values))
        out.append("     &CopyOf<%s>, &GettersAs<%s>, %s, %s}," % (
            n, n, "&GettersAs<%s>" % c["base"] if derived else "nullptr",
            "&CaughtAs<%s>" % c["base"] if derived else "nullptr"))
    out += ["};", "const std::size_t kCatalogueCaseCount = %d;" % len(ordered), ""]
    return "\n".join(out)


def md_code(text):
    """Text as a Markdown code span that survives a table cell."""
    return "`%s`" % text.replace("\\", "\\\\").replace("\n", "\\n").replace("|", "\\|")


def docs(families):
    ordered = by_code(families)
    codes = {}
    for c in ordered:
        codes.setdefault(c["code"], []).append(c["name"])
    shared = ["%d (%s)" % (code, ", ".join("`%s`" % n for n in names))
              for code, names in sorted(codes.items()) if len(names) > 1]
    bases = sorted({c["base"] for c in ordered} - {ROOT_BASE})
    out = ["# Exception reference", "",
           "Generated from `NUVZub/NUVZubExc.m/data/*.toml` by `generate.py --docs`; "
           "edit the data, not this page.", "",
           "The catalogue has %d exception classes in %d families, with codes from %d to %d. "
           "A code names one class, except the shared codes %s. `zubexc CODE` prints the same "
           "descriptions from the library's own table." % (
               len(ordered), len(families), ordered[0]["code"], ordered[-1]["code"],
               " and ".join(shared)), "",
           "Each parameter is a constructor argument, in order, read back through its getter. "
           "The message's marks are filled by position with the parameters in constructor "
           "order, unless the class names another substitution order; every value is "
           "rendered by its own type. Family bases (%d) can be raised themselves and are "
           "caught in place of their derived classes." % len(bases), "", "## Families", ""]
    for f in families:
        cs = f["classes"]
        out.append("- %s (`%s`): %d classes, codes %d to %d" % (
            f["title"], f["name"], len(cs), min(c["code"] for c in cs), max(c["code"] for c in cs)))
    for f in families:
        out += ["", "## %s (`%s`)" % (f["title"], f["name"]), "",
                "| Code | Class | Parameters | Message |", "|---:|---|---|---|"]
        for c in sorted(f["classes"], key=lambda c: (c["code"], c["name"])):
            name = "`%s`" % c["name"]
            if c["base"] != ROOT_BASE:
                name += "<br>derives from `%s`" % c["base"]
            params = "<br>".join("`%s` `%s`" % (p.getter, p.cpp) for p in c["params"]) or "none"
            message = md_code(c["message"])
            if c["order"] is not c["params"]:
                message += "<br>substitution order: " + ", ".join(p.getter for p in c["order"])
            out.append("| %d | %s | %s | %s |" % (c["code"], name, params, message))
    return "\n".join(out) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data", required=True)
    ap.add_argument("--out", help="directory for the library's generated headers and sources")
    ap.add_argument("--cases", help="write the test source of every class here")
    ap.add_argument("--docs", help="write the reference page here")
    ap.add_argument("--check-docs", help="fail when this reference page differs from the data")
    args = ap.parse_args()
    try:
        families = load(args.data)
        classes = check(families)
    except Refused as refused:
        print("generate.py: %s" % refused, file=sys.stderr)
        return 1
    if args.out:
        for f in families:
            write_if_changed(os.path.join(args.out, "include/NUVZub/NUVZubExc%s.h" % f["name"]),
                             header(f, classes))
            write_if_changed(os.path.join(args.out, "src/NUVZubExc%s.cpp" % f["name"]), source(f))
        write_if_changed(os.path.join(args.out, "include/NUVZub/NUVZubExcCatalogue.h"),
                         umbrella(families))
        write_if_changed(os.path.join(args.out, "src/NUVZubExcTableData.cpp"), table_source(families))
    if args.cases:
        write_if_changed(args.cases, cases_source(families))
    if args.docs:
        write_if_changed(args.docs, docs(families))
    if args.check_docs:
        try:
            with open(args.check_docs, encoding="utf-8") as f:
                current = f.read()
        except FileNotFoundError:
            current = None
        if current != docs(families):
            print("%s is out of date with the catalogue data; regenerate it with\n"
                  "  python3 %s --data %s --docs %s" % (args.check_docs, sys.argv[0], args.data,
                                                       args.check_docs), file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
