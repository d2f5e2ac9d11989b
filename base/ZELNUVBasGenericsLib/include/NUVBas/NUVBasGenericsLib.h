// Generics library: only its initialisation pair is used by this family member.
#pragma once

#include <NUVBas/NUVBasExport.h>

NUVBAS_GENERICS_API void NUVBasGenericsLib_initialize(int& count);
NUVBAS_GENERICS_API void NUVBasGenericsLib_finalize(int& count);
