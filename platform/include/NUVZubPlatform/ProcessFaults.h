// Faults the process services can be told to show, so that tests reach the
// reports' failure paths. The library itself never sets them. Only the
// platform layer and tests include this.
#pragma once

#include <NUVZubPlatform/Export.h>

namespace NUVZubPlatform {

struct ProcessFaults {
    bool symbolHandlerFails = false; ///< StartSymbolHandler reports failure
    bool stackIsEmpty = false;       ///< CaptureStack captures no frame
    bool helperThreadFails = false;  ///< look-ups find no thread to move to
};

/// Set them while no report is written.
NUVZUB_API void SetProcessFaults(const ProcessFaults& faults);

} // namespace NUVZubPlatform
