# A host that loads and unloads the library with dlopen and dlclose. It must not
# link the library (that would load it at start), only the allocator library
# whose start-up trace it reads. POSIX only: the Windows build tests DllMain
# with LoadLibraryW and FreeLibrary in its own test.
if(WIN32)
  return()
endif()
add_executable(entry_dlopen_probe ${CMAKE_CURRENT_LIST_DIR}/dlopen_probe.cpp)
target_link_libraries(entry_dlopen_probe PRIVATE ZELNUVBasAlloc ${CMAKE_DL_LIBS})
target_compile_definitions(entry_dlopen_probe PRIVATE
  NUVZUB_LIBRARY_PATH="$<TARGET_FILE:ZELNUVZubContainers>")
add_dependencies(entry_dlopen_probe ZELNUVZubContainers)
add_test(NAME entry.DlopenDlcloseRunsTheChainOnceEachWay COMMAND entry_dlopen_probe)
