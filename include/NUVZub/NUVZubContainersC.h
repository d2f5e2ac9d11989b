/* Plain-name functions of NUVZubContainers for C and other foreign callers.
   Compiles as C11 and as C++. */
#ifndef NUVZUB_CONTAINERS_C_H
#define NUVZUB_CONTAINERS_C_H

#ifdef __cplusplus
extern "C" {
#endif

/* Releases a text that the library handed to the caller. */
void mem_FreeText(char* text);

/* Library version as "major.minor.patch". */
const char* NUVZubContainers_Version(void);

#ifdef __cplusplus
}
#endif

#endif
