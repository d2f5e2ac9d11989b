// zubexc: explains exception codes and class names seen in logs, from the
// library's own description of its catalogue.
#include "triage.h"

#include <NUVZub/NUVZubExcTable.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: zubexc [--json] CODE|NAME...\n"
    "       zubexc [--json] --list [FAMILY]\n"
    "       zubexc triage [--json] [FILE...]   (zubexc triage --help)\n"
    "\n"
    "Describes exception classes of the ZUB catalogue: family, base, code,\n"
    "constructor parameters (getter and type) and message template.\n"
    "\n"
    "  CODE           every class with this code (1013 and 1836 name two classes)\n"
    "  NAME           the class of exactly this name, else every class whose name\n"
    "                 contains NAME, ignoring case (\"nosuchfile\", \"GridDim\")\n"
    "  --list [FAMILY] one line per class, sorted by code, of all or one family\n"
    "  --json         the same as a JSON array, for tools\n"
    "  --help         this text\n"
    "\n"
    "Exit status: 0 when every query found a class, 1 when one did not, 2 on misuse,\n"
    "3 when the output could not be written (a full disk, a closed or broken stream).\n";

constexpr int kOutputLost = 3;

using Matches = NUVZubExcTable::Matches;

bool IsCode(const char* text) {
    const std::size_t length = std::strlen(text);
    return length > 0 && length <= 9 && std::strspn(text, "0123456789") == length;
}

const char* FamilyTitle(const char* family) {
    for (std::size_t i = 0; i < NUVZubExcTable::FamilyCount(); ++i)
        if (std::strcmp(NUVZubExcTable::Family(i).name, family) == 0)
            return NUVZubExcTable::Family(i).title;
    return "";
}

// The template as one line: line feeds and quotes shown as they are written in C.
std::string Escaped(const char* text, bool json) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\n')
            out += "\\n";
        else if (c == '"' || c == '\\')
            (out += '\\') += static_cast<char>(c);
        else if (c < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, json ? "\\u%04x" : "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

std::string SubstitutionOrder(const NUVZubExcClassInfo& c, bool json) {
    std::string out;
    for (int k = 0; k < c.paramCount; ++k) {
        if (k) out += ", ";
        const char* getter = NUVZubExcTable::Substituted(c, k)->getter;
        out += json ? "\"" + std::string(getter) + "\"" : getter;
    }
    return out;
}

void PrintText(const NUVZubExcClassInfo& c) {
    std::printf("%s\n", c.name);
    std::printf("  code:        %d\n", c.code);
    std::printf("  family:      %s (%s)\n", c.family, FamilyTitle(c.family));
    std::printf("  base:        %s\n", c.base);
    if (c.paramCount == 0) std::printf("  parameters:  none\n");
    for (int k = 0; k < c.paramCount; ++k)
        std::printf("%s%-30s %s\n", k ? "               " : "  parameters:  ", c.params[k].getter,
                    c.params[k].type);
    if (c.order) std::printf("  substitutes: %s\n", SubstitutionOrder(c, false).c_str());
    std::printf("  message:     \"%s\"\n", Escaped(c.message, false).c_str());
}

void PrintJson(const Matches& found) {
    std::printf("[\n");
    for (std::size_t i = 0; i < found.size(); ++i) {
        const NUVZubExcClassInfo& c = *found[i];
        std::printf("  {\"name\": \"%s\", \"code\": %d, \"family\": \"%s\", \"base\": \"%s\", "
                    "\"parameters\": [",
                    c.name, c.code, c.family, c.base);
        for (int k = 0; k < c.paramCount; ++k)
            std::printf("%s{\"getter\": \"%s\", \"type\": \"%s\"}", k ? ", " : "",
                        c.params[k].getter, c.params[k].type);
        std::printf("], \"substitution\": [%s], \"message\": \"%s\"}%s\n",
                    SubstitutionOrder(c, true).c_str(), Escaped(c.message, true).c_str(),
                    i + 1 < found.size() ? "," : "");
    }
    std::printf("]\n");
}

int Usage(FILE* stream, int status) {
    std::fputs(kUsage, stream);
    return status;
}

int Run(int argc, char** argv) {
    if (argc > 1 && !std::strcmp(argv[1], "triage")) return Triage(argc - 2, argv + 2);
    bool json = false, list = false;
    const char* family = nullptr;
    std::vector<const char*> queries;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!std::strcmp(arg, "--help") || !std::strcmp(arg, "-h")) return Usage(stdout, 0);
        if (!std::strcmp(arg, "--json"))
            json = true;
        else if (!std::strcmp(arg, "--list")) {
            list = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') family = argv[++i];
        } else if (arg[0] == '-' && arg[1] != '\0') {
            std::fprintf(stderr, "zubexc: unknown option '%s'\n", arg);
            return Usage(stderr, 2);
        } else
            queries.push_back(arg);
    }
    if (list == !queries.empty()) return Usage(stderr, 2);

    Matches found;
    int status = 0;
    if (list) {
        if (family) {
            found = NUVZubExcTable::FindByFamily(family);
            if (found.empty()) {
                std::string names;
                for (std::size_t i = 0; i < NUVZubExcTable::FamilyCount(); ++i)
                    names += (i ? ", " : "") + std::string(NUVZubExcTable::Family(i).name);
                std::fprintf(stderr, "zubexc: no family '%s'; families are %s\n", family,
                             names.c_str());
                return 1;
            }
        } else {
            for (std::size_t i = 0; i < NUVZubExcTable::ClassCount(); ++i)
                found.push_back(&NUVZubExcTable::Class(i));
        }
        if (json)
            PrintJson(found);
        else
            for (const NUVZubExcClassInfo* c : found)
                std::printf("%d  %-56s %s\n", c->code, c->name, c->family);
        return 0;
    }

    for (const char* query : queries) {
        Matches matches;
        if (IsCode(query)) {
            matches = NUVZubExcTable::FindByCode(std::atoi(query));
            if (matches.empty())
                std::fprintf(stderr, "zubexc: no exception class has code %s\n", query);
        } else if (const NUVZubExcClassInfo* exact = NUVZubExcTable::FindByName(query)) {
            matches.push_back(exact);
        } else {
            matches = NUVZubExcTable::FindByNamePart(query);
            if (matches.empty())
                std::fprintf(stderr, "zubexc: no exception class name contains '%s'\n", query);
        }
        if (matches.empty()) status = 1;
        found.insert(found.end(), matches.begin(), matches.end());
    }
    if (found.empty()) return status;
    if (json) {
        PrintJson(found);
        return status;
    }
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (i) std::printf("\n");
        PrintText(*found[i]);
    }
    return status;
}

/// Output lost to a full disk, a closed stream or a broken pipe is a failure,
/// whatever was found: buffering hides it until the flush, or even the close
/// (a network file system may report a full disk only then).
int Finish(int status) {
    bool lost = std::ferror(stdout) != 0;
    int reason = lost ? errno : 0; // most likely the failed write's
    if (std::fflush(stdout) != 0) {
        lost = true;
        reason = errno;
    }
    // A stdout that was never open fails only its close when nothing was
    // written to it: nothing was lost then.
    if (std::fclose(stdout) != 0 && !lost && errno != EBADF) {
        lost = true;
        reason = errno;
    }
    if (!lost) return status;
    std::fprintf(stderr, "zubexc: cannot write the output: %s\n",
                 reason ? std::strerror(reason) : "write error");
    return kOutputLost;
}

} // namespace

int main(int argc, char** argv) { return Finish(Run(argc, argv)); }
