// Initialisation chain of the library and its base libraries. The first
// initialisation does the work, nested ones only count, and the finalisation
// that balances the first undoes the work in reverse order. `count` is the
// caller's running total: +1 for each unit initialised for the first time,
// -1 for each finalised for the last time. Loading the library runs the chain
// once by itself; unloading undoes it.
#pragma once

#include <NUVZubPlatform/Export.h>

NUVZUB_API void NUVZubContainers_initialize(int& count);
NUVZUB_API void NUVZubContainers_finalize(int& count);

/// Hook for the library's own start-up work.
NUVZUB_API void NUVZubContainers_specific_initialize(int& count);
NUVZUB_API void NUVZubContainers_specific_finalize(int& count);

// NUVZubContainers_initializeC / _finalizeC are in <NUVZub/NUVZubContainersC.h>.
