// Initialisation of the utility layer: the first call reads the resource-monitor
// switch; nested calls only count. `count` grows by one on the first
// initialisation and shrinks by one on the last finalisation.
#pragma once

#include <NUVZubPlatform/Export.h>

NUVZUB_API void NUVZubUtt_initialize(int& count);
NUVZUB_API void NUVZubUtt_finalize(int& count);
