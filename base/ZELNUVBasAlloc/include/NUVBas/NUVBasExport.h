// Export macros of the base libraries. Each library exports its own API and
// imports the others'; on ELF both are default visibility.
#pragma once

#if defined(_WIN32)
#define NUVBAS_DLL_EXPORT __declspec(dllexport)
#define NUVBAS_DLL_IMPORT __declspec(dllimport)
#else
#define NUVBAS_DLL_EXPORT __attribute__((visibility("default")))
#define NUVBAS_DLL_IMPORT __attribute__((visibility("default")))
#endif

#if defined(ZELNUVBasAlloc_EXPORTS)
#define NUVBAS_ALLOC_API NUVBAS_DLL_EXPORT
#else
#define NUVBAS_ALLOC_API NUVBAS_DLL_IMPORT
#endif

#if defined(ZELNUVBasCoreUtils_EXPORTS)
#define NUVBAS_CORE_API NUVBAS_DLL_EXPORT
#else
#define NUVBAS_CORE_API NUVBAS_DLL_IMPORT
#endif

#if defined(ZELNUVBasShared_EXPORTS)
#define NUVBAS_SHARED_API NUVBAS_DLL_EXPORT
#else
#define NUVBAS_SHARED_API NUVBAS_DLL_IMPORT
#endif

#if defined(ZELNUVBasXmlParser_EXPORTS)
#define NUVBAS_XML_API NUVBAS_DLL_EXPORT
#else
#define NUVBAS_XML_API NUVBAS_DLL_IMPORT
#endif

#if defined(ZELNUVBasGenericsLib_EXPORTS)
#define NUVBAS_GENERICS_API NUVBAS_DLL_EXPORT
#else
#define NUVBAS_GENERICS_API NUVBAS_DLL_IMPORT
#endif
