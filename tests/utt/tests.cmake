# The resource-monitor switch is read when the library loads, so its tests start
# a fresh probe process with the environment they need.
add_executable(utt_resource_monitor_probe ${CMAKE_CURRENT_LIST_DIR}/resource_monitor_probe.cpp)
target_link_libraries(utt_resource_monitor_probe PRIVATE ZELNUVZubContainers)
if(TARGET utt_resource_monitor_test)
  target_compile_definitions(utt_resource_monitor_test PRIVATE
    NUVZUB_RESOURCE_MONITOR_PROBE="$<TARGET_FILE:utt_resource_monitor_probe>")
  add_dependencies(utt_resource_monitor_test utt_resource_monitor_probe)
endif()
