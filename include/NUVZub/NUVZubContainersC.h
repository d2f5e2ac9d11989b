/* Plain-name functions of NUVZubContainers for C and other foreign callers.
   Compiles as C11 and as C++. */
#ifndef NUVZUB_CONTAINERS_C_H
#define NUVZUB_CONTAINERS_C_H

#include <NUVBas/NUVBasExport.h>
#include <NUVZubPlatform/Export.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* No exception leaves these functions: the bool ones return false with a
   text, the void ones drop what fails (as said below). A POSIX thread that is
   cancelled, or calls pthread_exit, inside one of them unwinds through it as
   through the C library's own cancellation points, and the library releases
   what the call held. */

/* Releases a text that the library handed to the caller. */
NUVBAS_ALLOC_API void mem_FreeText(char* text);

/* Library version as "major.minor.patch". */
const char* NUVZubContainers_Version(void);

/* Test entry for the binding layer: on success *result receives a copy of
   text (release it with mem_FreeText) and true is returned; "Bad string."
   raises inside and comes back as false with the exception's message in
   message (at most messageSize - 1 bytes and a zero, never half of a UTF-8
   character). */
NUVZUB_API bool NUVZubUttPythonGlueTest_CheckString(const char* text, char** result, char* message,
                                                    int messageSize);

/* Wildcard globbing behind an opaque handle. Each returns true on success;
   false after a failure, with its text in buffer (at most size - 1 bytes and
   a zero, never half of a UTF-8 character; size at least 19). The text
   stored by GlobFront stays valid until the next GlobNext or GlobFree on the
   handle.
   The handle is checked against those that GlobInit returned and GlobFree has
   not yet freed: a null handle, one freed already (a second GlobFree included)
   and any other value fail with a text and an assertion report on stderr.
   Not defended: the address of a freed handle may come back from a later
   GlobInit, and is then that search's handle; and a handle used by two
   threads at once (a handle belongs to one thread at a time). */
NUVZUB_API bool NUVZubUttFileUtils_GlobInit(const char* pattern, void** glob, int size,
                                            char* buffer);
NUVZUB_API bool NUVZubUttFileUtils_GlobFront(void* glob, const char** front, int size,
                                             char* buffer);
NUVZUB_API bool NUVZubUttFileUtils_GlobNext(void* glob, int size, char* buffer);
NUVZUB_API bool NUVZubUttFileUtils_GlobEmpty(void* glob, bool* empty, int size, char* buffer);
NUVZUB_API bool NUVZubUttFileUtils_GlobFree(void* glob, int size, char* buffer);

/* Library initialisation for callers without a count of their own: nested
   calls only count; the last finalise undoes the first initialise. */
NUVZUB_API void NUVZubContainers_initializeC(void);
NUVZUB_API void NUVZubContainers_finalizeC(void);

/* Resource-monitor marks and timers. Initialize switches the Zub forms on when
   ZUB_RESOURCE_MONITOR is set (any value) and, for a non-null name, initialises
   the monitor. The second argument of StartTimer is ignored. A call that
   fails (no memory to copy a label) is dropped: it returns as usual, and the
   monitor lacks that mark, timer name or start. */
NUVZUB_API void NUVZubUttResourceMonitorInitialize(const char* name, int value);
NUVZUB_API void NUVZubUttResourceMonitorMark(const char* text);
NUVZUB_API void NUVZubUttResourceMonitorZubMark(const char* text);
NUVZUB_API void NUVZubUttResourceMonitorIniTimer(int id, const char* name);
NUVZUB_API void NUVZubUttResourceMonitorStartTimer(int id, void* unused);
NUVZUB_API void NUVZubUttResourceMonitorStopTimer(int id);

#ifdef __cplusplus
}
#endif

#endif
