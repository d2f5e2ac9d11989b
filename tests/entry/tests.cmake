# A host that loads and unloads the library with dlopen and dlclose. It must not
# link the library (that would load it at start), only the allocator library
# whose start-up trace it reads. On Windows the host uses LoadLibraryW and
# FreeLibrary, which run DllMain; the DLL is found beside the probe.
if(WIN32)
  add_executable(entry_loadlibrary_probe ${CMAKE_CURRENT_LIST_DIR}/loadlibrary_probe_win32.cpp)
  target_link_libraries(entry_loadlibrary_probe PRIVATE ZELNUVBasAlloc)
  target_compile_definitions(entry_loadlibrary_probe PRIVATE
    NUVZUB_LIBRARY_NAME=L"$<TARGET_FILE_NAME:ZELNUVZubContainers>")
  add_dependencies(entry_loadlibrary_probe ZELNUVZubContainers)
  add_test(NAME entry.LoadLibraryFreeLibraryRunsTheChainOnceEachWay COMMAND entry_loadlibrary_probe)
  add_test(NAME entry.FreeLibraryReleasesTheSymbolHandler COMMAND entry_loadlibrary_probe --traceback)
  return()
endif()
add_executable(entry_dlopen_probe ${CMAKE_CURRENT_LIST_DIR}/dlopen_probe.cpp)
target_link_libraries(entry_dlopen_probe PRIVATE ZELNUVBasAlloc ${CMAKE_DL_LIBS})
target_compile_definitions(entry_dlopen_probe PRIVATE
  NUVZUB_LIBRARY_PATH="$<TARGET_FILE:ZELNUVZubContainers>")
add_dependencies(entry_dlopen_probe ZELNUVZubContainers)
add_test(NAME entry.DlopenDlcloseRunsTheChainOnceEachWay COMMAND entry_dlopen_probe)
