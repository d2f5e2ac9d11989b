// The load and unload entry of the library, shared by the Windows DllMain and
// the ELF constructor and destructor.
#pragma once

#include <NUVZubPlatform/Export.h>

enum NUVZubEntryReason : unsigned long {
    NUVZubEntryProcessDetach = 0,
    NUVZubEntryProcessAttach = 1,
    NUVZubEntryThreadAttach = 2,
    NUVZubEntryThreadDetach = 3,
};

/// Process attach initialises the chain, process detach finalises it, every
/// other reason does nothing. Always returns 1 (TRUE).
NUVZUB_API int NUVZubContainers_EntryDispatch(unsigned long reason);
