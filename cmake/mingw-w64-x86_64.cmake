# Cross-build for 64-bit Windows with Debian's mingw-w64 GCC (posix threads, so
# std::thread and std::mutex work). Tests run under Wine through the emulator
# wrapper next to this file.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NUVZUB_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${NUVZUB_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NUVZUB_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${NUVZUB_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${NUVZUB_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages also from CMAKE_PREFIX_PATH as given (an install tree of Windows DLLs
# lives anywhere on the build machine).
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# DbgHelp under Wine reads DWARF 4 only; GCC 12 writes DWARF 5 by default.
set(CMAKE_C_FLAGS_INIT "-gdwarf-4")
set(CMAKE_CXX_FLAGS_INIT "-gdwarf-4")
# The runtime (libstdc++, libgcc, winpthread) linked into every module: each
# DLL and exe then imports only system DLLs, nothing to ship beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Every test and discovery step runs through Wine, with a prefix in the build
# tree (another project, like the install check's consumer, may share one).
if(NOT NUVZUB_WINE_PREFIX)
  set(NUVZUB_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${NUVZUB_WINE_PREFIX})
