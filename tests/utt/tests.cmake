# The resource-monitor switch is read when the library loads, so its tests start
# a fresh probe process with the environment they need.
add_executable(utt_resource_monitor_probe ${CMAKE_CURRENT_LIST_DIR}/resource_monitor_probe.cpp)
target_link_libraries(utt_resource_monitor_probe PRIVATE ZELNUVZubContainers)
if(TARGET utt_resource_monitor_test)
  target_compile_definitions(utt_resource_monitor_test PRIVATE
    NUVZUB_RESOURCE_MONITOR_PROBE="$<TARGET_FILE:utt_resource_monitor_probe>")
  add_dependencies(utt_resource_monitor_test utt_resource_monitor_probe)
endif()
# Wine's DbgHelp faults reading the full DWARF of the JSON report test's unit (a
# bad entry pointer while it loads the unit's functions; the same source with
# line tables and function names only reads fine). A traceback needs no more.
if(WIN32 AND TARGET utt_report_json_test)
  target_compile_options(utt_report_json_test PRIVATE -g1)
endif()
