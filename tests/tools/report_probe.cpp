// Writes the library's reports on request: tools_report_probe text|json ACTION..., the actions
// site-a:VALUE and site-b:VALUE (NUVZubExcNoSuchFile(VALUE) raised at two call sites), bounds:N
// (NUVZubExcIOBounds at the first), hostile (bytes that are not UTF-8, controls and quotes, at a
// third), assert, notice, noise:TEXT (a line on stderr) and address (the first site's address).
#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZubPlatform/Export.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

NUVZUB_KEEP_FRAME void Raise(const NUVBasException& exception, int site) {
    // The site's number keeps the compiler from folding the two sites into one.
    std::fflush(site == 1 ? stdout : stderr);
    try {
        exception.Propagate();
    } catch (const NUVBasException&) {
    }
}

NUVZUB_KEEP_FRAME void SiteA(const NUVBasException& exception) { Raise(exception, 1); }
NUVZUB_KEEP_FRAME void SiteB(const NUVBasException& exception) { Raise(exception, 2); }
NUVZUB_KEEP_FRAME void SiteC(const NUVBasException& exception) { Raise(exception, 3); }

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    NUVZubUttAssertSetReportFormat(std::strcmp(argv[1], "json") == 0 ? NUVZubUttReportFormat::Json
                                                                     : NUVZubUttReportFormat::Text);
    for (int i = 2; i < argc; ++i) {
        const std::string action = argv[i];
        const std::size_t colon = action.find(':');
        const std::string verb = action.substr(0, colon);
        const std::string value = colon == std::string::npos ? "" : action.substr(colon + 1);
        if (verb == "site-a") {
            SiteA(NUVZubExcNoSuchFile(value.c_str()));
        } else if (verb == "site-b") {
            SiteB(NUVZubExcNoSuchFile(value.c_str()));
        } else if (verb == "bounds") {
            const unsigned long long n = std::strtoull(value.c_str(), nullptr, 10);
            SiteA(NUVZubExcIOBounds(n, n + 1, n + 2));
        } else if (verb == "hostile") {
            SiteC(NUVZubExcNoSuchFile("bad \xff\xfe byte, \x01 control, \"quote\" \\ \xc3"));
        } else if (verb == "assert") {
            try {
                NUVZUB_ASSERT(i < 0);
            } catch (const NUVBasException&) {
            }
        } else if (verb == "notice") {
            NUVZubUttAssert::ReportNotice({"!!! Throwing NUVZubExcNoSuchFile:\n!!!  ", "x", "\n"});
        } else if (verb == "noise") {
            std::fprintf(stderr, "%s\n", value.c_str());
        } else if (verb == "address") {
            std::printf("%p\n", reinterpret_cast<void*>(&SiteA));
        } else {
            return 2;
        }
    }
    return 0;
}
