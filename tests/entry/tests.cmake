# A host that loads and unloads the library (dlopen, or LoadLibraryW finding the DLL beside it):
# it links only the allocator whose start-up trace it reads, never the library.
add_executable(entry_load_probe ${CMAKE_CURRENT_LIST_DIR}/load_probe.cpp)
target_link_libraries(entry_load_probe PRIVATE ZELNUVBasAlloc ${CMAKE_DL_LIBS})
if(WIN32)
  target_compile_definitions(entry_load_probe PRIVATE
    NUVZUB_LIBRARY=L"$<TARGET_FILE_NAME:ZELNUVZubContainers>")
else()
  target_compile_definitions(entry_load_probe PRIVATE
    NUVZUB_LIBRARY="$<TARGET_FILE:ZELNUVZubContainers>")
endif()
add_dependencies(entry_load_probe ZELNUVZubContainers)
add_test(NAME entry.LoadAndUnloadRunTheChainOnceEachWay COMMAND entry_load_probe)
add_test(NAME entry.UnloadEndsTheSymbolSession COMMAND entry_load_probe --traceback)
set_tests_properties(entry.UnloadEndsTheSymbolSession PROPERTIES SKIP_RETURN_CODE 77)
