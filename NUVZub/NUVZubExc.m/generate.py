#!/usr/bin/env python3
"""Generates the exception catalogue's C++ classes from its data files.

Each data file (data/<Family>.toml) lists one family's classes: name, code,
optional base, constructor parameters (getter name and type), optional
substitution order and message template. Output, under --out:
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
import sys
import tomllib

ROOT_BASE = "NUVBasException"

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
CPP_KEYWORDS = {"default", "class", "new", "delete", "register", "template", "this", "operator",
                "union", "private", "public", "protected", "namespace", "switch", "case"}


class Param:
    def __init__(self, getter, kind):
        if not getter.startswith("Get"):
            raise ValueError("getter must start with Get: " + getter)
        self.getter = getter
        self.kind = kind
        stem = getter[3:]
        self.field = "m_" + stem
        name = stem[0].lower() + stem[1:]
        self.arg = name + "_" if name in CPP_KEYWORDS else name
        if kind.startswith("string(") and kind.endswith(")"):
            self.cpp = "NUVZubUttExceptionString<%d>" % int(kind[7:-1])
            self.text = True
        elif kind in SCALARS:
            self.cpp = SCALARS[kind]
            self.text = False
        elif kind in VALUE_TYPES:
            self.cpp = kind
            self.text = True
        else:
            raise ValueError("unknown parameter type: " + kind)

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
    families = []
    for path in sorted(glob.glob(os.path.join(data_dir, "*.toml"))):
        with open(path, "rb") as f:
            data = tomllib.load(f)
        family = {"name": data["family"], "title": data["title"], "classes": []}
        for entry in data["exception"]:
            params = [Param(g, t) for g, t in entry.get("params", [])]
            order = entry.get("order")
            if order is not None:
                by_getter = {p.getter: p for p in params}
                if sorted(order) != sorted(by_getter):
                    raise ValueError(entry["name"] + ": order must list every parameter once")
                order = [by_getter[g] for g in order]
            family["classes"].append({
                "name": entry["name"],
                "code": entry["code"],
                "base": entry.get("base", ROOT_BASE),
                "params": params,
                "order": order or params,
                "message": entry["message"],
                "family": data["family"],
                "title": data["title"],
            })
        families.append(family)
    return families


def check(families):
    classes = {c["name"]: c for f in families for c in f["classes"]}
    for c in classes.values():
        if c["base"] != ROOT_BASE:
            base = classes.get(c["base"])
            if base is None:
                raise ValueError(c["name"] + ": unknown base " + c["base"])
            mine = {p.getter: p for p in c["params"]}
            for bp in base["params"]:
                if bp.getter not in mine or mine[bp.getter].kind != bp.kind:
                    raise ValueError(c["name"] + ": base parameter %s not among its own" % bp.getter)
            c["base_args"] = [mine[bp.getter].arg for bp in base["params"]]
        else:
            c["base_args"] = []
    return classes


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
    families = load(args.data)
    classes = check(families)
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
