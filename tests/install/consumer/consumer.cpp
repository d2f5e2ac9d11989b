// A catalogue exception through the installed umbrella header, and an XML exception from a
// parser made with Expat's own functions, which the package gives its clients everywhere.
#include <NUVZub/NUVZubContainers.h>

#include <expat.h>

#include <cstdio>
#include <cstring>

int main() {
    NUVZubUttAssertDisableExcReport();
    try {
        NUVZubExcNoSuchFile(NUVString("installed.zub")).Propagate();
    } catch (const NUVBasException& e) {
        const auto text = e.AsString(NUVBasStringMode(false)); // owns the bytes printed below
        std::printf("%d %s\n", e.GetCode(), text.CStr());
        if (e.GetCode() != 1013) return 1;
    }
    XML_Parser parser = XML_ParserCreate(nullptr);
    static const char kText[] = "<a>\n  <b></a>";
    if (XML_Parse(parser, kText, static_cast<int>(sizeof kText - 1), 1) != XML_STATUS_ERROR)
        return 2;
    const NUVZubExcXMLExpatParseError error{NUVZubUttSerParserError(parser),
                                            NUVZubUttSerParserPlace(parser)};
    XML_ParserFree(parser);
    const auto text = error.AsString(NUVBasStringMode(false));
    std::printf("%s\n", text.CStr());
    return std::strstr(text.CStr(), "line 2") != nullptr ? 0 : 3;
}
