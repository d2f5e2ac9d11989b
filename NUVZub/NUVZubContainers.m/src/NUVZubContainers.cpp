// Entry points of the library.
#include <NUVZub/NUVZubContainersC.h>
#include <NUVZubPlatform/Export.h>

extern "C" NUVZUB_API const char* NUVZubContainers_Version(void) { return "1.0.0"; }
