// Demonstration: raises a catalogue exception with its throw report and catches it.
#include <NUVZub/NUVZubContainers.h>

#include <cstdio>

int main() {
    try {
        NUVZubExcNoSuchFile(NUVString("/data/run42/model.zub")).Propagate();
    } catch (const NUVBasException& e) {
        std::printf("caught code %d: %s\n", e.GetCode(), e.AsString(NUVBasStringMode(false)).CStr());
        return 0;
    }
    return 1;
}
