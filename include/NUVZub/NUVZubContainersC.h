/* Plain-name functions of NUVZubContainers for C and other foreign callers.
   Compiles as C11 and as C++. */
#ifndef NUVZUB_CONTAINERS_C_H
#define NUVZUB_CONTAINERS_C_H

#include <NUVZubPlatform/Export.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Releases a text that the library handed to the caller. */
void mem_FreeText(char* text);

/* Library version as "major.minor.patch". */
const char* NUVZubContainers_Version(void);

/* Test entry for the binding layer: on success *result receives a copy of
   text (release it with mem_FreeText) and true is returned; "Bad string."
   raises inside and comes back as false with the exception's message in
   message (at most messageSize - 1 bytes and a zero). */
NUVZUB_API bool NUVZubUttPythonGlueTest_CheckString(const char* text, char** result,
                                                    char* message, int messageSize);

#ifdef __cplusplus
}
#endif

#endif
