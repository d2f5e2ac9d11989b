# The resource-monitor switch is read when the library loads: its tests start
# this probe afresh with the environment they need.
add_executable(utt_resource_monitor_probe ${CMAKE_CURRENT_LIST_DIR}/resource_monitor_probe.cpp)
target_link_libraries(utt_resource_monitor_probe PRIVATE ZELNUVZubContainers)
if(TARGET utt_resource_monitor_test)
  target_compile_definitions(utt_resource_monitor_test PRIVATE
    NUVZUB_RESOURCE_MONITOR_PROBE="$<TARGET_FILE:utt_resource_monitor_probe>")
  add_dependencies(utt_resource_monitor_test utt_resource_monitor_probe)
endif()

# The traceback tests' module, linked without DWARF (the runtime's objects carry
# some: the link drops it), and with DWARF for the test to load from a copy.
if(WIN32 AND TARGET utt_report_environment_test)
  add_library(utt_traceback_plain_module SHARED ${CMAKE_CURRENT_LIST_DIR}/traceback_module_win32.cpp)
  target_compile_options(utt_traceback_plain_module PRIVATE -g0)
  target_link_options(utt_traceback_plain_module PRIVATE -Wl,--strip-debug)
  add_library(utt_traceback_dwarf_module SHARED ${CMAKE_CURRENT_LIST_DIR}/traceback_module_win32.cpp)
  target_link_libraries(utt_report_environment_test PRIVATE utt_traceback_plain_module)
  add_dependencies(utt_report_environment_test utt_traceback_dwarf_module)
endif()
