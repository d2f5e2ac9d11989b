# The Windows build (mingw-w64): DLL names, output layout, and Expat (a DLL of
# the package), libdwarf and GoogleTest built from Debian's sources with the
# cross compiler.

# The DLLs bear the family's names (ZELNUVZubContainers.dll); their import
# libraries keep mingw's usual libNAME.dll.a.
set(CMAKE_SHARED_LIBRARY_PREFIX "")
# Windows finds a program's DLLs beside it: every DLL and exe of the build in one directory.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# Expat from Debian's source package (apt-get source expat, with Debian's
# security patches), found under build/deps unless given.
set(NUVZUB_EXPAT_SOURCE_DIR "" CACHE PATH "Expat source tree: the directory holding expat/CMakeLists.txt")
if(NOT NUVZUB_EXPAT_SOURCE_DIR)
  file(GLOB expat_candidates ${PROJECT_SOURCE_DIR}/build/deps/expat-*/expat/CMakeLists.txt)
  list(SORT expat_candidates ORDER DESCENDING)
  list(GET expat_candidates 0 expat_lists)
  if(NOT expat_lists)
    message(FATAL_ERROR "No Expat source: run scripts/deps.sh --windows (apt-get source expat into build/deps) "
                        "or set NUVZUB_EXPAT_SOURCE_DIR")
  endif()
  get_filename_component(expat_dir ${expat_lists} DIRECTORY)
  get_filename_component(NUVZUB_EXPAT_SOURCE_DIR ${expat_dir} DIRECTORY)
endif()
# A DLL of its own, installed with ours: clients that build the XML exceptions
# from a parser create it with Expat's own functions.
set(EXPAT_SHARED_LIBS ON)
set(EXPAT_BUILD_TOOLS OFF)
set(EXPAT_BUILD_EXAMPLES OFF)
set(EXPAT_BUILD_TESTS OFF)
set(EXPAT_BUILD_DOCS OFF)
set(EXPAT_BUILD_PKGCONFIG OFF)
set(EXPAT_ENABLE_INSTALL OFF)
add_subdirectory(${NUVZUB_EXPAT_SOURCE_DIR}/expat ${CMAKE_BINARY_DIR}/expat EXCLUDE_FROM_ALL)
# Expat's usual mingw name, libexpat-1.dll (our empty prefix would drop "lib"),
# with the import library libexpat.dll.a, so that -lexpat finds it.
set_target_properties(expat PROPERTIES PREFIX lib)
# Debian builds Expat with autoconf, whose configuration defines XML_DTD as 1;
# Expat's CMake defines it empty, and a security patch tests "XML_DTD == 1".
set(expat_config ${CMAKE_BINARY_DIR}/expat/expat_config.h)
file(READ ${expat_config} expat_config_text)
string(REGEX REPLACE "\n#define XML_DTD\n" "\n#define XML_DTD 1\n" expat_config_text "${expat_config_text}")
file(WRITE ${expat_config} "${expat_config_text}")
set(NUVZUB_EXPAT_INCLUDE_DIR ${NUVZUB_EXPAT_SOURCE_DIR}/expat/lib)

# libdwarf from Debian's source package (apt-get source dwarfutils), for the
# traceback reader of modules built with DWARF: Windows' own DbgHelp reads PDB
# files only. Built with its autotools configure (its CMake configure fails in a
# cross build), static, without libelf or zlib, and linked into the DLL.
set(NUVZUB_LIBDWARF_SOURCE_DIR "" CACHE PATH "dwarfutils source tree: the directory holding configure and libdwarf/")
if(NOT NUVZUB_LIBDWARF_SOURCE_DIR)
  file(GLOB libdwarf_candidates ${PROJECT_SOURCE_DIR}/build/deps/dwarfutils-*/libdwarf/libdwarf.h.in)
  list(SORT libdwarf_candidates ORDER DESCENDING)
  list(GET libdwarf_candidates 0 libdwarf_header)
  if(NOT libdwarf_header)
    message(FATAL_ERROR "No libdwarf source: run scripts/deps.sh --windows (apt-get source dwarfutils "
                        "into build/deps) or set NUVZUB_LIBDWARF_SOURCE_DIR")
  endif()
  get_filename_component(libdwarf_dir ${libdwarf_header} DIRECTORY)
  get_filename_component(NUVZUB_LIBDWARF_SOURCE_DIR ${libdwarf_dir} DIRECTORY)
endif()
include(ExternalProject)
execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpmachine OUTPUT_VARIABLE libdwarf_host
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(libdwarf_build ${CMAKE_BINARY_DIR}/libdwarf)
# $(MAKE) lets the library's make share the outer make's job slots.
if(CMAKE_GENERATOR MATCHES "Makefiles")
  set(libdwarf_make "$(MAKE)")
else()
  set(libdwarf_make make)
endif()
ExternalProject_Add(NUVZubLibdwarfBuild
  SOURCE_DIR ${NUVZUB_LIBDWARF_SOURCE_DIR}
  BINARY_DIR ${libdwarf_build}
  # The configure cache variable keeps zlib out even where a mingw zlib is installed.
  CONFIGURE_COMMAND ${NUVZUB_LIBDWARF_SOURCE_DIR}/configure --host=${libdwarf_host}
                    --disable-libelf --disable-shared CC=${CMAKE_C_COMPILER} CFLAGS=-O2
                    ac_cv_header_zlib_h=no
  BUILD_COMMAND ${libdwarf_make} -C libdwarf libdwarf.la
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${libdwarf_build}/libdwarf/.libs/libdwarf.a)
# libdwarf.h is generated in the build tree; dwarf.h stays in the source.
file(MAKE_DIRECTORY ${libdwarf_build}/libdwarf)
add_library(NUVZubLibdwarf STATIC IMPORTED GLOBAL)
set_target_properties(NUVZubLibdwarf PROPERTIES
  IMPORTED_LOCATION ${libdwarf_build}/libdwarf/.libs/libdwarf.a
  INTERFACE_INCLUDE_DIRECTORIES "${libdwarf_build}/libdwarf;${NUVZUB_LIBDWARF_SOURCE_DIR}/libdwarf")
add_dependencies(NUVZubLibdwarf NUVZubLibdwarfBuild)

# GoogleTest from Debian's source, a static library linked into each test.
if(NUVZUB_TESTS)
  set(INSTALL_GTEST OFF)
  set(BUILD_GMOCK ON)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
