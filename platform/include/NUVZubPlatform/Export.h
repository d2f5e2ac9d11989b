// The one export macro of the library: only what is marked leaves the shared object.
#pragma once

#if defined(_WIN32)
#if defined(ZELNUVZubContainers_EXPORTS)
#define NUVZUB_API __declspec(dllexport)
#else
#define NUVZUB_API __declspec(dllimport)
#endif
#else
#define NUVZUB_API __attribute__((visibility("default")))
#endif

// Keeps a function's own stack frame: never inlined, and its calls are never
// turned into jumps, so tracebacks can count frames from it.
#if defined(__clang__)
#define NUVZUB_KEEP_FRAME __attribute__((noinline, disable_tail_calls))
#elif defined(__GNUC__)
#define NUVZUB_KEEP_FRAME __attribute__((noinline, optimize("no-optimize-sibling-calls")))
#else
#define NUVZUB_KEEP_FRAME __declspec(noinline)
#endif
