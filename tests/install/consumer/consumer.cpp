// Raises and catches a catalogue exception through the installed umbrella header.
#include <NUVZub/NUVZubContainers.h>

#include <cstdio>
#include <cstring>

int main() {
    NUVZubUttAssertDisableExcReport();
    try {
        NUVZubExcNoSuchFile(NUVString("installed.zub")).Propagate();
    } catch (const NUVBasException& e) {
        const auto text = e.AsString(NUVBasStringMode(false)); // owns the bytes printed below
        std::printf("%d %s\n", e.GetCode(), text.CStr());
        return e.GetCode() == 1013 ? 0 : 1;
    }
    return 2;
}
